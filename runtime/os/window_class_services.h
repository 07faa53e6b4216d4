// Window-class registration with wide names, and the point queries that take
// their point by address, for Lisp code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lisp::os {

// The class record as Lisp code fills it, 40 bytes.
struct WindowClassRecord {
  uint32_t style;
  uint32_t procedure;  // callee-pops window procedure
  int32_t classExtraBytes;
  int32_t windowExtraBytes;
  uint32_t instance;
  uint32_t icon;
  uint32_t cursor;
  uint32_t background;
  const char* menuName;  // or a resource number
  const char* className;
};
static_assert(offsetof(WindowClassRecord, procedure) == 4);
static_assert(offsetof(WindowClassRecord, background) == 28);
static_assert(offsetof(WindowClassRecord, menuName) == 32);
static_assert(offsetof(WindowClassRecord, className) == 36);
static_assert(sizeof(WindowClassRecord) == 40);

// The extended class record, 48 bytes; its first word holds its size.
struct WindowClassRecordEx {
  uint32_t size;
  uint32_t style;
  uint32_t procedure;
  int32_t classExtraBytes;
  int32_t windowExtraBytes;
  uint32_t instance;
  uint32_t icon;
  uint32_t cursor;
  uint32_t background;
  const char* menuName;
  const char* className;
  uint32_t smallIcon;
};
static_assert(offsetof(WindowClassRecordEx, style) == 4);
static_assert(offsetof(WindowClassRecordEx, procedure) == 8);
static_assert(offsetof(WindowClassRecordEx, menuName) == 36);
static_assert(offsetof(WindowClassRecordEx, className) == 40);
static_assert(offsetof(WindowClassRecordEx, smallIcon) == 44);
static_assert(sizeof(WindowClassRecordEx) == 48);

// A point as the system passes it: x, then y.
struct ScreenPoint {
  int32_t x;
  int32_t y;
};
static_assert(sizeof(ScreenPoint) == 8);

}  // namespace lisp::os

extern "C" {
// Converts the wide class and menu names into the two conversion buffers,
// stores them in the record and registers it; the class atom (16 bits), or 0
// (last error set) when the record, a name or the registration fails.
uint32_t str_RegisterClass(lisp::os::WindowClassRecord* record, const uint16_t* wideClassName,
                           const uint16_t* wideMenuName);
// The same for the extended record, whose size word must be 48.
uint32_t str_RegisterClassEx(lisp::os::WindowClassRecordEx* record, const uint16_t* wideClassName,
                             const uint16_t* wideMenuName);

// The window under the point, and the child of `window` under it: with no
// display, none (0); a missing point also gives 0.
uint32_t WindowFromPoint_ptr(const lisp::os::ScreenPoint* point);
uint32_t ChildWindowFromPoint_ptr(uint32_t window, const lisp::os::ScreenPoint* point);
}
