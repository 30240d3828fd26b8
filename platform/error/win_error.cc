#include "platform/error/win_error.h"

namespace platform {
namespace {

thread_local uint32_t t_last_error = kErrorSuccess;

}  // namespace

uint32_t win_error_from_errno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EXDEV:
      return kErrorNotSameDevice;
    case EROFS:
      return kErrorWriteProtect;
    case ETXTBSY:
      return kErrorSharingViolation;
    case ENOSYS:
    case EOPNOTSUPP:
      return kErrorNotSupported;
    case EEXIST:
      return kErrorAlreadyExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case EPIPE:
      return kErrorBrokenPipe;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EBUSY:
      return kErrorBusy;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case ERANGE:
    case EOVERFLOW:
      return kErrorMoreData;
    case EIO:
      return kErrorIoDevice;
    case ESRCH:
    case ENODEV:
    case ENXIO:
      return kErrorNotFound;
    case ETIME:
      return kErrorTimeout;
    case EINTR:
      return kWsaEintr;
    case EAGAIN:
      return kWsaEwouldblock;
    case EINPROGRESS:
      return kWsaEinprogress;
    case EALREADY:
      return kWsaEalready;
    case ENOTSOCK:
      return kWsaEnotsock;
    case EDESTADDRREQ:
      return kWsaEdestaddrreq;
    case EMSGSIZE:
      return kWsaEmsgsize;
    case EPROTONOSUPPORT:
      return kWsaEprotonosupport;
    case EAFNOSUPPORT:
      return kWsaEafnosupport;
    case EADDRINUSE:
      return kWsaEaddrinuse;
    case EADDRNOTAVAIL:
      return kWsaEaddrnotavail;
    case ENETDOWN:
      return kWsaEnetdown;
    case ENETUNREACH:
      return kWsaEnetunreach;
    case ECONNABORTED:
      return kWsaEconnaborted;
    case ECONNRESET:
      return kWsaEconnreset;
    case ENOBUFS:
      return kWsaEnobufs;
    case EISCONN:
      return kWsaEisconn;
    case ENOTCONN:
      return kWsaEnotconn;
    case ESHUTDOWN:
      return kWsaEshutdown;
    case ETIMEDOUT:
      return kWsaEtimedout;
    case ECONNREFUSED:
      return kWsaEconnrefused;
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return kWsaEhostunreach;
    default:
      return kErrorGenFailure;
  }
}

uint32_t last_error() { return t_last_error; }

void set_last_error(uint32_t code) { t_last_error = code; }

uint32_t set_last_error_from_errno(int err) {
  t_last_error = win_error_from_errno(err);
  return t_last_error;
}

uint32_t wsa_error_from_errno(int err) {
  // EWOULDBLOCK is EAGAIN on Linux.
  switch (err) {
    case EAGAIN:
      return kWsaEwouldblock;
    case ECONNRESET:
    case EPIPE:
      return kWsaEconnreset;
    case EBADF:
    case ENOTSOCK:
      return kWsaEnotsock;
    default:
      return win_error_from_errno(err);
  }
}

uint32_t set_last_socket_error_from_errno(int err) {
  t_last_error = wsa_error_from_errno(err);
  return t_last_error;
}

const char* win_error_text(uint32_t code) {
  switch (code) {
    case kErrorSuccess:
      return "The operation completed successfully.";
    case kErrorFileNotFound:
      return "The system cannot find the file specified.";
    case kErrorPathNotFound:
      return "The system cannot find the path specified.";
    case kErrorTooManyOpenFiles:
      return "The system cannot open the file.";
    case kErrorAccessDenied:
      return "Access is denied.";
    case kErrorInvalidHandle:
      return "The handle is invalid.";
    case kErrorNotEnoughMemory:
      return "Not enough memory resources are available to process this command.";
    case kErrorWriteProtect:
      return "The media is write protected.";
    case kErrorAlreadyExists:
      return "Cannot create a file when that file already exists.";
    case kErrorInvalidParameter:
      return "The parameter is incorrect.";
    case kErrorDiskFull:
      return "There is not enough space on the disk.";
    case kErrorFilenameExcedRange:
      return "The filename or extension is too long.";
    case kErrorIoDevice:
      return "The request could not be performed because of an I/O device error.";
    default:
      return "Unknown error.";
  }
}

}  // namespace platform
