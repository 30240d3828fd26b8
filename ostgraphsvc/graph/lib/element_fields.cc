// Element field handlers and the configuration-argument write handler.
#include <cstdint>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/ipaddress.h"
#include "graph/router.h"

namespace {

// The field the handler's user data points at: a write uses the write
// datum, every other operation the read datum.
template <typename T>
T* field(int op, Element* e, const Handler* h) {
  void* datum = op == Handler::kOpWrite ? h->write_user_data() : h->read_user_data();
  return reinterpret_cast<T*>(reinterpret_cast<char*>(e) + reinterpret_cast<uintptr_t>(datum));
}

int fail(ErrorHandler* errh, const char* message) {
  if (errh == nullptr) return ErrorHandler::kErrorResult;
  return errh->error("%s", message);
}

// Reads with `to_text`; writes with `parse`, which fills its output only
// when it accepts the text, so a rejected text leaves the field alone.
template <typename T, typename ToText, typename Parse>
int field_handler(int op, String& text, Element* e, const Handler* h, ErrorHandler* errh,
                  const char* message, ToText to_text, Parse parse) {
  T* f = field<T>(op, e, h);
  if (op == Handler::kOpRead) {
    text = to_text(*f);
    return 0;
  }
  T value;
  if (!parse(text, &value)) return fail(errh, message);
  *f = value;
  return 0;
}

String join_arguments(const Vector<String>& conf) {
  String text;
  for (int i = 0; i < conf.size(); ++i) {
    if (i > 0) text += ", ";
    text += conf[i];
  }
  return text;
}

}  // namespace

int Element::byte_field_handler(int op, String& text, Element* e, const Handler* h,
                                ErrorHandler* errh) {
  return field_handler<uint8_t>(
      op, text, e, h, errh, "expected uint8_t", [](uint8_t v) { return String(int{v}); },
      [](const String& t, uint8_t* out) {
        int32_t v;
        if (!cp_parse_int32(nullptr, t, &v) || v < 0 || v > 255) return false;
        *out = static_cast<uint8_t>(v);
        return true;
      });
}

int Element::bool_field_handler(int op, String& text, Element* e, const Handler* h,
                                ErrorHandler* errh) {
  return field_handler<bool>(
      op, text, e, h, errh, "expected boolean", [](bool v) { return String(v ? "true" : "false"); },
      [](const String& t, bool* out) { return cp_parse_bool(t, out); });
}

int Element::uint32_field_handler(int op, String& text, Element* e, const Handler* h,
                                  ErrorHandler* errh) {
  return field_handler<uint32_t>(
      op, text, e, h, errh, "expected integer", [](uint32_t v) { return String(unsigned{v}); },
      [](const String& t, uint32_t* out) { return cp_parse_uint32(nullptr, t, out); });
}

int Element::int32_field_handler(int op, String& text, Element* e, const Handler* h,
                                 ErrorHandler* errh) {
  return field_handler<int32_t>(
      op, text, e, h, errh, "expected integer", [](int32_t v) { return String(int{v}); },
      [](const String& t, int32_t* out) { return cp_parse_int32(nullptr, t, out); });
}

int Element::uint64_field_handler(int op, String& text, Element* e, const Handler* h,
                                  ErrorHandler* errh) {
  return field_handler<uint64_t>(
      op, text, e, h, errh, "expected integer",
      [](uint64_t v) { return String(static_cast<unsigned long long>(v)); },
      [](const String& t, uint64_t* out) {
        // The parser stores a saturated value too; only a clean parse counts.
        int status;
        uint64_t v;
        if (!cp_parse_uint64(&status, t, &v) || status != cp_ok) return false;
        *out = v;
        return true;
      });
}

int Element::ip_address_field_handler(int op, String& text, Element* e, const Handler* h,
                                      ErrorHandler* errh) {
  return field_handler<IPAddress>(
      op, text, e, h, errh, "expected IP address", [](IPAddress v) { return v.to_string(); },
      [](const String& t, IPAddress* out) { return cp_parse_ip_address(t, out); });
}

int Element::config_argument_write_handler(const String& value, Element* e, void* user_data,
                                           ErrorHandler* errh) {
  return rewrite_config_argument(value, e, user_data, errh);
}

int Element::rewrite_config_argument(const String& value, Element* e, void* user_data,
                                     ErrorHandler* errh) {
  Vector<String> conf;
  cp_split_arguments(e->current_configuration(), &conf);

  const char* argument = static_cast<const char*>(user_data);
  int position = -1;
  const char* keyword = argument;
  if (argument != nullptr && argument[0] >= '0' && argument[0] <= '9' && argument[1] == ' ') {
    position = argument[0] - '0';
    keyword = argument + 2;
  }

  // Arguments given by keyword are dropped and the new one appended, so a
  // keyword never appears twice.
  bool append = false;
  if (keyword != nullptr) {
    Args args(e, nullptr);
    String old;
    args.bind(conf).read_string(keyword, 0, old);
    append = args.read_status;
    args.remove_consumed().commit();
  }
  if (!append && (position < 0 || position >= conf.size())) {
    if (keyword == nullptr) return fail(errh, "missing mandatory arguments");
    append = true;
  }
  if (!append) {
    // The position holds another keyword's argument: the value joins by
    // keyword instead of replacing it.
    String other;
    String rest;
    if (keyword != nullptr && cp_parse_keyword(conf[position], &other, &rest) && !rest.empty()) {
      append = true;
    } else {
      conf[position] = value;
    }
  }
  if (append) conf.push_back(String(keyword) + " " + value);

  const String text = join_arguments(conf);
  const int result = e->live_reconfigure(conf, errh);
  if (result < 0) return result;
  Router* router = e->router_;
  if (router != nullptr && e->eindex_ >= 0 && e->eindex_ < router->element_configurations_.size())
    router->element_configurations_[e->eindex_] = text;
  return 0;
}
