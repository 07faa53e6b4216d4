// The class registry and the windows' family relations, kept with the
// windows in the handle table (object_table.h).

#include "platform/window_classes.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/error_numbers.h"
#include "platform/object_table.h"

namespace platform {

using namespace detail;

namespace {

struct WindowClass {
  std::string name;
  ClassWindowProcedure procedure;
  uint32_t style;
};

// Class i has atom kFirstClassAtom + i. Guarded by the table lock.
std::vector<WindowClass>& classes() {
  static auto* registry = new std::vector<WindowClass>;  // never destroyed: windows outlive exit
  return *registry;
}

constexpr size_t kClassCapacity = 0x10000 - kFirstClassAtom;

bool sameName(const std::string& a, const char* b) {
  const size_t length = std::char_traits<char>::length(b);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Needs the table lock.
const WindowClass* classOf(uint16_t atom) {
  if (atom < kFirstClassAtom) return nullptr;
  const size_t index = atom - kFirstClassAtom;
  return index < classes().size() ? &classes()[index] : nullptr;
}

// Needs the table lock.
uint16_t atomOf(const char* name) {
  const std::vector<WindowClass>& all = classes();
  for (size_t i = 0; i < all.size(); ++i)
    if (sameName(all[i].name, name)) return static_cast<uint16_t>(kFirstClassAtom + i);
  return 0;
}

// The live siblings of a window (itself included), topmost first. Needs the
// table lock.
std::vector<Handle> siblingsOf(Handle parent, bool child) {
  std::vector<Handle> siblings;
  for (Handle handle : liveWindows()) {
    const KernelObject* window = windowOf(handle);
    if (window->child == child && (!child || window->parent == parent)) siblings.push_back(handle);
  }
  std::sort(siblings.begin(), siblings.end(), [](Handle a, Handle b) {
    return windowOf(a)->stackingOrder > windowOf(b)->stackingOrder;
  });
  return siblings;
}

}  // namespace

uint16_t registerWindowClass(const char* name, ClassWindowProcedure procedure,
                             uint32_t classStyle) {
  if (!name || !*name || !procedure) {
    setLastSystemError(system_error::kInvalidParameter);
    return 0;
  }
  TableLock lock;
  if (atomOf(name) != 0) {
    setLastSystemError(system_error::kClassExists);
    return 0;
  }
  if (classes().size() >= kClassCapacity) {
    setLastSystemError(system_error::kNotEnoughMemory);
    return 0;
  }
  classes().push_back({name, procedure, classStyle});
  return static_cast<uint16_t>(kFirstClassAtom + classes().size() - 1);
}

uint16_t windowClassAtom(const char* name) {
  TableLock lock;
  const uint16_t atom = name ? atomOf(name) : 0;
  if (atom == 0) setLastSystemError(system_error::kClassNotFound);
  return atom;
}

Handle createWindowOfClass(const WindowCreation& creation) {
  TableLock lock;
  const WindowClass* windowClass = classOf(creation.classAtom);
  if (!windowClass) {
    setLastSystemError(system_error::kClassNotFound);
    return kNoHandle;
  }
  const bool messageOnly = creation.parent == kMessageOnlyParent;
  const Handle parent = messageOnly ? kNoHandle : creation.parent;
  const bool child = !messageOnly && (creation.style & kStyleChild) != 0;
  if (child && parent == kNoHandle) {
    setLastSystemError(system_error::kChildWithoutParent);
    return kNoHandle;
  }
  if (parent != kNoHandle && !windowOf(parent)) {
    setLastSystemError(system_error::kInvalidWindowHandle);
    return kNoHandle;
  }
  auto* window = new KernelObject(ObjectKind::Window);
  window->procedures.ofClass = windowClass->procedure;
  window->look.text = creation.text ? creation.text : "";
  window->look.style = creation.style;
  window->parent = parent;
  window->child = child;
  window->stackingOrder = topStackingOrder();
  ThreadState* owner = currentThreadState();
  owner->hasQueue = true;
  window->owner = owner->id;
  return insertObject(window);
}

Handle relatedWindow(Handle handle, uint32_t relation) {
  TableLock lock;
  const KernelObject* window = windowOf(handle);
  if (!window) {
    setLastSystemError(system_error::kInvalidWindowHandle);
    return kNoHandle;
  }
  const auto live = [](Handle other) { return windowOf(other) ? other : kNoHandle; };
  switch (static_cast<WindowRelation>(relation)) {
    case WindowRelation::Owner:
      return window->child ? kNoHandle : live(window->parent);
    case WindowRelation::FirstChild: {
      const std::vector<Handle> children = siblingsOf(handle, true);
      return children.empty() ? kNoHandle : children.front();
    }
    case WindowRelation::FirstSibling:
    case WindowRelation::LastSibling:
    case WindowRelation::NextSibling:
    case WindowRelation::PreviousSibling:
      break;
    default:
      setLastSystemError(system_error::kInvalidParameter);
      return kNoHandle;
  }
  const std::vector<Handle> siblings = siblingsOf(window->parent, window->child);
  const auto at = std::find(siblings.begin(), siblings.end(), handle);
  switch (static_cast<WindowRelation>(relation)) {
    case WindowRelation::FirstSibling:
      return siblings.front();
    case WindowRelation::LastSibling:
      return siblings.back();
    case WindowRelation::NextSibling:
      return at + 1 == siblings.end() ? kNoHandle : *(at + 1);
    default:
      return at == siblings.begin() ? kNoHandle : *(at - 1);
  }
}

Handle windowAtPoint(int32_t, int32_t) {
  return kNoHandle;
}

Handle childWindowAtPoint(Handle parent, int32_t, int32_t) {
  TableLock lock;
  if (!windowOf(parent)) setLastSystemError(system_error::kInvalidWindowHandle);
  return kNoHandle;
}

}  // namespace platform
