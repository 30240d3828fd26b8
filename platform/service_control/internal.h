// Shared by the files of the service control module; not for other users.
#ifndef PLATFORM_SERVICE_CONTROL_INTERNAL_H_
#define PLATFORM_SERVICE_CONTROL_INTERNAL_H_

#include "platform/service_control/service_control.h"

namespace platform::service_control::internal {

// Writes through the log hook, if any.
void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The systemd backend (one per process).
ServiceControlBackend& systemd_backend();

}  // namespace platform::service_control::internal

#endif  // PLATFORM_SERVICE_CONTROL_INTERNAL_H_
