// The device information map schema is registered by the service's own link
// before main, though no code of the service names one of its classes: this
// test links the service library as the program does and does not include the
// generated header either.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <string.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

using google::protobuf::DescriptorPool;
using google::protobuf::FileDescriptor;
using google::protobuf::FileDescriptorProto;

TEST(SchemaRegistration, DeviceMapSchemaIsInTheGeneratedPool) {
  const FileDescriptor* file = DescriptorPool::generated_pool()->FindFileByName("ostdim.proto");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->message_type_count(), 9);
  EXPECT_EQ(file->dependency_count(), 0);
  EXPECT_EQ(DescriptorPool::generated_pool()->FindMessageTypeByName("OstrelDIMArray"),
            file->message_type(0));
}

// The built program carries the same file descriptor, byte for byte, that
// the generated code registers.
TEST(SchemaRegistration, BuiltProgramHoldsTheSchema) {
  const FileDescriptor* file = DescriptorPool::generated_pool()->FindFileByName("ostdim.proto");
  ASSERT_NE(file, nullptr);
  FileDescriptorProto proto;
  file->CopyTo(&proto);
  const std::string serialized = proto.SerializeAsString();
  std::ifstream in(DOVADOD_PROGRAM, std::ios::binary | std::ios::ate);
  ASSERT_TRUE(in) << DOVADOD_PROGRAM;
  std::string program(static_cast<size_t>(in.tellg()), '\0');
  in.seekg(0);
  ASSERT_TRUE(in.read(program.data(), static_cast<std::streamsize>(program.size())));
  EXPECT_NE(memmem(program.data(), program.size(), serialized.data(), serialized.size()), nullptr);
}

}  // namespace
