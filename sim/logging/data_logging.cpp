// Starting the logger from the model's setup and feeding it each step.
#include "sim/logging/data_logging.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "sim/logging/log_memory.h"
#include "sim/logging/log_messages.h"
#include "sim/logging/log_update.h"
#include "sim/logging/log_variables.h"

namespace sim {

namespace {

bool named(const char* name) {
  return name != nullptr && name[0] != '\0';
}

int32_t totalWidth(const LogSignalDescription& d) {
  int32_t width = 0;
  for (int32_t k = 0; k < d.numSignals; ++k) width += d.widths[k];
  return width;
}

// A matrix variable of all described signals side by side: of their common
// type (double when they differ), complex when any of them is.
LogVariable* createSideBySideVariable(LoggingSetup* setup, const LogRunTiming& timing,
                                      const char** errorStatus, const char* name,
                                      const LogSignalDescription& d, int32_t maxRows) {
  const int32_t width = totalWidth(d);
  LogVariableShape shape{};
  shape.name = name;
  shape.dataType = d.numSignals > 0 ? d.dataTypes[0] : kTypeDouble;
  for (int32_t k = 0; k < d.numSignals; ++k) {
    if (d.dataTypes[k] != shape.dataType) shape.dataType = kTypeDouble;
    if (d.complexSignals != nullptr && d.complexSignals[k]) shape.isComplex = true;
  }
  shape.nCols = width;
  if (d.numSignals == 1) {
    shape.nDims = d.numDimensions[0];
    shape.dims = d.dimensions[0];
  } else {
    shape.nDims = 1;
    shape.dims = &width;
  }
  shape.maxRows = maxRows;
  shape.decimation = setup->decimation;
  shape.sampleTime = d.sampleTime;
  return createLogVariable(setup, timing, errorStatus, shape, true);
}

// The description of signal k alone.
LogSignalDescription signalOf(const LogSignalDescription& d, int32_t k) {
  auto at = [k](auto* array) { return array != nullptr ? array + k : array; };
  LogSignalDescription one = d;
  one.numSignals = 1;
  one.widths = at(d.widths);
  one.numDimensions = at(d.numDimensions);
  one.dimensions = at(d.dimensions);
  one.dataTypes = at(d.dataTypes);
  one.conversions = at(d.conversions);
  one.complexSignals = at(d.complexSignals);
  one.frameData = at(d.frameData);
  one.isVarDims = at(d.isVarDims);
  one.currentDimensions = at(d.currentDimensions);
  one.labels = at(d.labels);
  one.plotStyles = at(d.plotStyles);
  one.blockNames = at(d.blockNames);
  one.stateNames = at(d.stateNames);
  one.crossModelFlags = at(d.crossModelFlags);
  if (d.titleLengths != nullptr && d.title != nullptr) {
    std::size_t offset = 0;
    const std::size_t total = std::strlen(d.title);
    for (int32_t j = 0; j < k; ++j) offset += d.titleLengths[j] > 0 ? d.titleLengths[j] : 0;
    one.title = d.title + (offset < total ? offset : total);
    one.titleLengths = d.titleLengths + k;
  }
  return one;
}

bool structureFormat(const LoggingSetup& setup) {
  return setup.format != kLogFormatMatrix;
}
bool logsStructureTime(const LoggingSetup& setup) {
  return setup.format == kLogFormatStructureWithTime;
}

// One state or final-state variable of the setup's format.
bool startStateVariable(LoggingSetup* setup, const LogRunTiming& timing, const char** errorStatus,
                        const char* name, int32_t maxRows, LogSlot* slot) {
  const LogSignalDescription* d = setup->stateSignalsDescription;
  if (!named(name) || d == nullptr) return true;
  if (structureFormat(*setup)) {
    slot->structure =
        createStructLogVariable(setup, timing, errorStatus, name, logsStructureTime(*setup),
                                maxRows, setup->decimation, d->sampleTime, d, nullptr);
    return slot->structure != nullptr;
  }
  slot->matrix = createSideBySideVariable(setup, timing, errorStatus, name, *d, maxRows);
  return slot->matrix != nullptr;
}

// Copies the name that starts at `list` (up to a comma, cut to 63
// characters) and returns where the next one starts.
const char* nextOutputName(const char* list, char* name) {
  const char* comma = std::strchr(list, ',');
  const std::size_t length = comma != nullptr ? std::size_t(comma - list) : std::strlen(list);
  const std::size_t kept = length < kLogNameCapacity ? length : kLogNameCapacity - 1;
  std::memcpy(name, list, kept);
  name[kept] = '\0';
  return comma != nullptr ? comma + 1 : list + length;
}

// The output variables: one name spans all outputs side by side; several
// names take one output each, in order; an empty name, or one whose output
// has no signal, makes no variable.
bool startOutputLogging(LoggingSetup* setup, const LogRunTiming& timing, const char** errorStatus) {
  const LogSignalDescription* d = setup->outputSignalsDescription;
  if (!named(setup->outputNames) || d == nullptr) return true;
  LoggingState* state = setup->state;
  int32_t count = 1;
  for (const char* at = setup->outputNames; *at != '\0'; ++at) count += *at == ',' ? 1 : 0;
  state->outputs = static_cast<LogSlot*>(logAllocate(sizeof(LogSlot) * count));
  if (state->outputs == nullptr) {
    std::fprintf(stderr, log_text::kErrorAllocatingLogging, setup->outputNames);
    setLogErrorStatus(errorStatus, log_text::kMemoryAllocationError);
    return false;
  }
  state->numOutputs = count;

  const char* next = setup->outputNames;
  for (int32_t k = 0; k < count; ++k) {
    char name[kLogNameCapacity];
    next = nextOutputName(next, name);
    LogSlot& slot = state->outputs[k];
    if (!named(name)) continue;
    if (count > 1 && (k >= d->numSignals || setup->outputSignals == nullptr ||
                      setup->outputSignals[k] == nullptr))
      continue;
    const LogSignalDescription signals = count == 1 ? *d : signalOf(*d, k);
    if (structureFormat(*setup)) {
      slot.structure = createStructLogVariable(setup, timing, errorStatus, name,
                                               logsStructureTime(*setup), setup->maxRows,
                                               setup->decimation, d->sampleTime, &signals, nullptr);
      if (slot.structure == nullptr) return false;
      continue;
    }
    if (count == 1) {
      slot.matrix =
          createSideBySideVariable(setup, timing, errorStatus, name, signals, setup->maxRows);
    } else {
      LogVariableShape shape{};
      shape.name = name;
      shape.dataType = signals.dataTypes[0];
      shape.conversion = signals.conversions != nullptr ? signals.conversions[0] : nullptr;
      shape.isComplex = signals.complexSignals != nullptr && signals.complexSignals[0];
      shape.nCols = signals.widths[0];
      shape.nDims = signals.numDimensions[0];
      shape.dims = signals.dimensions[0];
      shape.maxRows = setup->maxRows;
      shape.decimation = setup->decimation;
      shape.sampleTime = d->sampleTime;
      slot.matrix = createLogVariable(setup, timing, errorStatus, shape, true);
    }
    if (slot.matrix == nullptr) return false;
  }
  return true;
}

bool startVariables(LoggingSetup* setup, const LogRunTiming& timing, const char** errorStatus) {
  LoggingState* state = setup->state;
  if (named(setup->timeName)) {
    static constexpr int32_t kOneColumn = 1;
    LogVariableShape time{};
    time.name = setup->timeName;
    time.dataType = kTypeDouble;
    time.nCols = 1;
    time.nDims = 1;
    time.dims = &kOneColumn;
    time.maxRows = setup->maxRows;
    time.decimation = setup->decimation;
    time.sampleTime = timing.stepSize;
    state->time = createLogVariable(setup, timing, errorStatus, time, true);
    if (state->time == nullptr) return false;
  }
  if (!startStateVariable(setup, timing, errorStatus, setup->stateName, setup->maxRows,
                          &state->states) ||
      !startStateVariable(setup, timing, errorStatus, setup->finalStateName, 1,
                          &state->finalStates))
    return false;
  const LogSignalDescription* logged = setup->loggedSignalsDescription;
  if (named(setup->loggedSignalsName) && logged != nullptr) {
    state->loggedSignals = createStructLogVariable(
        setup, timing, errorStatus, setup->loggedSignalsName, true, setup->maxRows,
        setup->decimation, logged->sampleTime, logged, nullptr);
    if (state->loggedSignals == nullptr) return false;
  }
  return startOutputLogging(setup, timing, errorStatus);
}

// A structure's time and values; its value variables take the non-null
// signals in order.
void updateStructure(StructLogVariable* s, const double* time, const void* const* signals,
                     int32_t count) {
  if (s->logTime) updateLogVariable(s->time, time, false);
  LogVariable* value = s->signals.values;
  for (int32_t k = 0, v = 0; k < count && value != nullptr; ++k) {
    if (signals[k] == nullptr) continue;
    updateLogVariable(value, signals[k], s->signals.isVarDims[v] != 0);
    value = value->next;
    ++v;
  }
}

// Matrix format: states and final states side by side in one row each; one
// output name takes every output side by side, several take one each.
void updateMatrixFormat(const LoggingSetup& setup) {
  LoggingState* state = setup.state;
  const LogSignalDescription* states = setup.stateSignalsDescription;
  const LogSignalDescription* outputs = setup.outputSignalsDescription;
  if (states != nullptr && setup.stateSignals != nullptr) {
    const LogSamplePieces pieces{setup.stateSignals,     states->widths,      states->dataTypes,
                                 states->complexSignals, states->conversions, states->numSignals};
    for (LogVariable* v : {state->states.matrix, state->finalStates.matrix})
      if (v != nullptr) updateLogVariableFromPieces(v, pieces);
  }
  if (outputs == nullptr || setup.outputSignals == nullptr) return;
  if (state->numOutputs == 1) {
    const LogSamplePieces pieces{setup.outputSignals,  outputs->widths,
                                 outputs->dataTypes,   outputs->complexSignals,
                                 outputs->conversions, outputs->numSignals};
    if (state->outputs[0].matrix != nullptr)
      updateLogVariableFromPieces(state->outputs[0].matrix, pieces);
    return;
  }
  for (int32_t k = 0; k < state->numOutputs; ++k)
    if (state->outputs[k].matrix != nullptr)
      updateLogVariable(state->outputs[k].matrix, setup.outputSignals[k], false);
}

// Structure formats: the states structure, the output structures (one with
// every output, or one per output), the final-state structure.
void updateStructureFormat(const LoggingSetup& setup, const double* time) {
  LoggingState* state = setup.state;
  const LogSignalDescription* states = setup.stateSignalsDescription;
  const LogSignalDescription* outputs = setup.outputSignalsDescription;
  const bool haveStates = states != nullptr && setup.stateSignals != nullptr;
  if (haveStates && state->states.structure != nullptr)
    updateStructure(state->states.structure, time, setup.stateSignals, states->numSignals);
  if (outputs != nullptr && setup.outputSignals != nullptr) {
    if (state->numOutputs == 1) {
      if (state->outputs[0].structure != nullptr)
        updateStructure(state->outputs[0].structure, time, setup.outputSignals,
                        outputs->numSignals);
    } else {
      for (int32_t k = 0; k < state->numOutputs; ++k)
        if (state->outputs[k].structure != nullptr)
          updateStructure(state->outputs[k].structure, time, &setup.outputSignals[k], 1);
    }
  }
  if (haveStates && state->finalStates.structure != nullptr)
    updateStructure(state->finalStates.structure, time, setup.stateSignals, states->numSignals);
}

}  // namespace

void startDataLogging(LoggingSetup* setup, double startTime, double finalTime, double stepSize,
                      const char** errorStatus) {
  setup->state = static_cast<LoggingState*>(logAllocate(sizeof(LoggingState)));
  const LogRunTiming timing{startTime, finalTime, stepSize};
  if (setup->state != nullptr && startVariables(setup, timing, errorStatus)) return;
  std::fputs(log_text::kErrorsStartingLogging, stderr);
  setLogErrorStatus(errorStatus, log_text::kMemoryAllocationError);
  destroyLoggingState(setup->state);
  setup->state = nullptr;
}

int updateDataLogging(LoggingSetup* setup, const double* time) {
  LoggingState* state = setup->state;
  if (state == nullptr) return 0;
  if (state->time != nullptr) updateLogVariable(state->time, time, false);
  if (structureFormat(*setup))
    updateStructureFormat(*setup, time);
  else
    updateMatrixFormat(*setup);
  return 0;
}

}  // namespace sim
