#include "sim/model/engine_status.h"

#include <cstdio>

#include "mech_engine_common/engine_error.h"
#include "sim/model/sim_model.h"

namespace sim {

namespace {

constexpr int kEngineErrorTextSize = 1024;
char engineErrorText[static_cast<int>(EngineCallSite::Count)][kEngineErrorTextSize];

}  // namespace

void reportEngineError(EngineCallSite site) {
  const EngineErrorRecord* record = getEngineError();
  char* text = engineErrorText[static_cast<int>(site)];
  const char* const* a = record->arguments;
  // The record's text is the engine's own format with one "%s" per argument.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  std::snprintf(text, kEngineErrorTextSize, record->text != nullptr ? record->text : "", a[0], a[1],
                a[2], a[3], a[4], a[5]);
#pragma GCC diagnostic pop
  model->errorStatus = text;
}

}  // namespace sim
