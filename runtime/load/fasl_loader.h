// The native fasl loader (libfasl) and its entry points, the boot symbol
// table, and the fasl module's runtime variables.
#pragma once

#include <cstdint>
#include <cstdio>

#include "runtime/rs/lisp_value.h"

extern "C" {

// ---- the fasl module's variables (those saved with an image are in fasl_image_variables.cpp) ----
extern uint32_t bootmode;  // 1 while the runtime is built from fasl files
extern uint32_t curreadmode;
extern uint32_t faslversion, min_faslversion, rsversion, min_rsversion;
extern uint32_t lv_package;
extern uint32_t load_real_args;  // 0 drop argument names, 1 keep, 2 rename to "arg%d"
extern lisp::lispval lastsym;    // the symbol last defined by setd or setdpl
extern uint32_t fd_open_p;
extern uint32_t dbg, dbgsym;  // trace switches
extern uint32_t raz_fasl_noisy;
extern int32_t auto_gc_count;
extern uint32_t chars_are_16_bits_p;

// ---- the boot symbol table ----
extern lisp::lispval* oblist;  // ob_size symbol words, 0 for an empty slot
extern uint32_t ob_size;
extern uint32_t items, probes, collis;

// The boot symbol of the name (a Lisp string of `length` characters) in the package number.
lisp::lispval addob(lisp::lispval name, uint32_t length, uint32_t package);
// addob of a name given as native text in both cases (init_case_mode 3 takes the upper).
lisp::lispval make_spec_sym(const char* lowerName, const char* upperName, uint32_t length,
                            uint32_t package);
void faslshowsymbol(const char* label, lisp::lispval symbol);

// ---- loading ----
// Runs the fasl file of the stream (always closed on return); returns a loader result.
int libfasl(std::FILE* stream, lisp::lispval* segmentCell, lisp::lispval linkValue,
            lisp::lispval thread);
// Loads the file of a path ("*name": name, or "dname" when name cannot be read).
int faslname(lisp::lispval* segmentCell, const char* path, lisp::lispval thread);
// Loads from a pseudo file descriptor; 9 when it names no file descriptor.
int rtfasldesc(uint32_t pseudoDescriptor, lisp::lispval* segmentCell, lisp::lispval linkValue,
               uint32_t readMode, lisp::lispval thread);
// The timestamp of a fasl file's first segment (0 when there is none).
void fasl_validation(const char* path, uint32_t* timestamp, int closeFlag);
// The bundle file name for 0, else the Lisp string as native text in strbuf.
const char* FLC_filename_string(lisp::lispval string);
void faslinit();

// ---- function groups (native entries into the Lisp-convention fixups) ----
lisp::lispval nfgroup(lisp::lispval group);
lisp::lispval fix_fwrap(lisp::lispval list);
}

namespace lisp::fasl {
// Runtime globals of the native loader.
inline constexpr uint32_t kFunctionGroupSwitchGlobal = 155;
inline constexpr uint32_t kInterpretedEntryGlobal = 113;
inline constexpr uint32_t kArgumentPackageGlobal = 237;
// Boot package numbers.
inline constexpr uint32_t kBasePackage = 1;
inline constexpr uint32_t kKeywordPackage = 2;
inline constexpr uint32_t kUninternedPackage = 3;
// The boot table's size when the build start-up has set none. Decision: a
// prime well above the start-up files' symbols.
inline constexpr uint32_t kDefaultObSize = 32749;

namespace messages {
inline constexpr char kTraceItem[] = "%lx @ %d: ";
inline constexpr char kTraceCode[] = "code %2d %s[%d]";
inline constexpr char kTraceListSize[] = "List of size %d\n";
inline constexpr char kTraceString[] = "string: ";
inline constexpr char kTraceIcsFlags[] = "ICS flags x%02x\n";
inline constexpr char kTraceEvalit[] = "ff_evalit\n";
inline constexpr char kTraceFuncallit[] = "ff_funcallit\n";
inline constexpr char kFaslName[] = "; fasl %s\n";
inline constexpr char kHashing[] = "hashing: ";
inline constexpr char kHashingPackage[] = " pkg=%d\n";
inline constexpr char kBadSymbol[] = "bad symbol = 0x%x index %d loc 0x%x\n";
inline constexpr char kTableFull[] = "boot symbol table full (%d entries)\n";
inline constexpr char kBogusLowerName[] = "make_spec_sym given bogus lname: \"%s\"\n";
inline constexpr char kBogusUpperName[] = "make_spec_sym given bogus uname: \"%s\"\n";
inline constexpr char kShowSymbol[] = "%s symbol @%lx ";
inline constexpr char kShowPackage[] = " package %d\n";
inline constexpr char kStackCannotGrow[] = "fasl: the load stack cannot grow\n";
}  // namespace messages
}  // namespace lisp::fasl
