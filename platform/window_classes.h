// Window classes and the windows made from them, and how windows stand to
// each other.
//
// A class is registered once per process under a name (compared without
// regard to letter case) and gets a 16-bit atom; a window made of a class
// calls the class's procedure, which pops its own four arguments as the
// system's window procedures do. Windows of one parent (top-level windows:
// none) are siblings in a stacking order, the newest on top; a top-level
// window may have an owner. Nothing is on a screen here, so no point lies on
// any window.
#pragma once

#include <cstdint>

#include "platform/waitable.h"

namespace platform {

using ClassWindowProcedure = uint32_t(__attribute__((stdcall)) *)(Handle window, uint32_t message,
                                                                  uint32_t wParam, uint32_t lParam);

// Class atoms lie from here up to 0xFFFF; a class argument below 0x10000 is
// an atom rather than the address of a name.
inline constexpr uint16_t kFirstClassAtom = 0xC000;

// The style bit of a child window: its parent argument is its parent, not
// its owner.
inline constexpr uint32_t kStyleChild = 0x40000000;

// The parent argument that asks for a message-only window. Every window here
// is display-free already, so it makes a top-level window without an owner.
inline constexpr Handle kMessageOnlyParent = 0xFFFFFFFD;

// The atom of the new class, or 0 (last error set) for a missing name or
// procedure, a name already registered, or no atom left.
uint16_t registerWindowClass(const char* name, ClassWindowProcedure procedure, uint32_t classStyle);
// The atom of a registered class, or 0 (last error set).
uint16_t windowClassAtom(const char* name);

struct WindowCreation {
  uint16_t classAtom;
  const char* text;  // null: empty
  uint32_t style;
  Handle parent;  // child windows: the parent; others: the owner, kNoHandle or kMessageOnlyParent
};
// A window of the class, owned by the calling thread and put on top of its
// siblings; kNoHandle (last error set) for an unknown class, a parent or
// owner that is not a live window, or a child window without a parent.
Handle createWindowOfClass(const WindowCreation& creation);

// What relatedWindow looks for, from a given window.
enum class WindowRelation : uint32_t {
  FirstSibling = 0,     // the topmost window of its siblings
  LastSibling = 1,      // the bottom one
  NextSibling = 2,      // the one below it
  PreviousSibling = 3,  // the one above it
  Owner = 4,            // its owner (top-level windows only)
  FirstChild = 5,       // its topmost child
};
// The related live window, or kNoHandle: none there (last error untouched),
// a window that is not live or a relation outside the list (last error set).
Handle relatedWindow(Handle window, uint32_t relation);

// The window under a screen point, and the child of `parent` under a point
// given in its coordinates: with no display, none. A parent that is not a
// live window also sets the last error.
Handle windowAtPoint(int32_t x, int32_t y);
Handle childWindowAtPoint(Handle parent, int32_t x, int32_t y);

}  // namespace platform
