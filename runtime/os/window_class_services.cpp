// Window-class registration and point queries (window_class_services.h).

#include "runtime/os/window_class_services.h"

#include "platform/error_numbers.h"
#include "platform/window_classes.h"
#include "runtime/os/wide_name_buffers.h"

namespace {

using lisp::os::WideNameBuffer;

// The names of a class in the two conversion buffers; false (last error
// set) when the class name is missing or either name does not fit. A menu
// name that is a resource number stays one.
struct ClassNames {
  const char* className;
  const char* menuName;
};
bool convertClassNames(const uint16_t* wideClassName, const uint16_t* wideMenuName,
                       ClassNames* names) {
  if (lisp::os::isIntegerName(wideClassName)) {
    platform::setLastSystemError(platform::system_error::kInvalidParameter);
    return false;
  }
  names->className = lisp::os::convertWideName(wideClassName, WideNameBuffer::First);
  names->menuName = lisp::os::isIntegerName(wideMenuName)
                        ? reinterpret_cast<const char*>(wideMenuName)
                        : lisp::os::convertWideName(wideMenuName, WideNameBuffer::Second);
  if (!names->className || (!names->menuName && !lisp::os::isIntegerName(wideMenuName))) {
    platform::setLastSystemError(platform::system_error::kInsufficientBuffer);
    return false;
  }
  return true;
}

template <class Record>
uint32_t registerRecord(Record* record, const uint16_t* wideClassName,
                        const uint16_t* wideMenuName) {
  ClassNames names{};
  if (!convertClassNames(wideClassName, wideMenuName, &names)) return 0;
  record->className = names.className;
  record->menuName = names.menuName;
  return platform::registerWindowClass(
      record->className, reinterpret_cast<platform::ClassWindowProcedure>(record->procedure),
      record->style);
}

}  // namespace

extern "C" {

uint32_t str_RegisterClass(lisp::os::WindowClassRecord* record, const uint16_t* wideClassName,
                           const uint16_t* wideMenuName) {
  if (!record) {
    platform::setLastSystemError(platform::system_error::kInvalidParameter);
    return 0;
  }
  return registerRecord(record, wideClassName, wideMenuName);
}

uint32_t str_RegisterClassEx(lisp::os::WindowClassRecordEx* record, const uint16_t* wideClassName,
                             const uint16_t* wideMenuName) {
  if (!record || record->size != sizeof(lisp::os::WindowClassRecordEx)) {
    platform::setLastSystemError(platform::system_error::kInvalidParameter);
    return 0;
  }
  return registerRecord(record, wideClassName, wideMenuName);
}

uint32_t WindowFromPoint_ptr(const lisp::os::ScreenPoint* point) {
  if (!point) return platform::kNoHandle;
  return platform::windowAtPoint(point->x, point->y);
}

uint32_t ChildWindowFromPoint_ptr(uint32_t window, const lisp::os::ScreenPoint* point) {
  if (!point) return platform::kNoHandle;
  return platform::childWindowAtPoint(window, point->x, point->y);
}

}  // extern "C"
