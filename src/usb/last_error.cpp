#include "usb/usb_backend.h"

namespace usb {

namespace {
thread_local uint32_t tlsLastError = kErrorNone;
}

uint32_t lastError() { return tlsLastError; }
void setLastError(uint32_t code) { tlsLastError = code; }

}  // namespace usb
