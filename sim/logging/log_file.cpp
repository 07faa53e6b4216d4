// The end of a run: the logged variables go into one matrix file.
#include <sys/stat.h>

#include <cstdio>

#include "sim/logging/data_logging.h"
#include "sim/logging/log_fixup.h"
#include "sim/logging/log_messages.h"
#include "sim/logging/log_variables.h"
#include "sim/logging/qmf_format.h"
#include "sim/logging/qmf_writer.h"
#include "sim/logging/scratch_file.h"

namespace sim {

namespace {

// Removes a file this run wrote. A device, pipe or socket behind the name is
// left alone: removing it would lose something that was never ours.
void removeWrittenFile(const char* fileName) {
  struct stat status;
  if (lstat(fileName, &status) == 0 && (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) ||
                                        S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)))
    return;
  std::remove(fileName);
}

struct WriteOutcome {
  bool error = false;
  bool wroteSomething = false;
};

void writeMatrixVariables(std::FILE* file, const char* fileName, LogVariable* list,
                          WriteOutcome& outcome) {
  for (LogVariable* v = list; v != nullptr; v = v->next) {
    if (const char* reason = fixupLogVariable(v)) {
      std::fprintf(stderr, log_text::kErrorWritingDueTo, fileName, reason);
      outcome.error = true;
      return;
    }
    if (v->nDataPoints <= 0) continue;
    QmfItem item{kQmfMatrix, 0, static_cast<LogMatrix*>(v)};
    if (writeQmfItem(file, &item, kQmfLogMatrixItem) != 0) {
      std::fprintf(stderr, log_text::kErrorWritingLogVariable, v->name, fileName);
      outcome.error = true;
      return;
    }
    outcome.wroteSomething = true;
  }
}

void writeStructVariables(std::FILE* file, const char* fileName, StructLogVariable* list,
                          WriteOutcome& outcome) {
  for (StructLogVariable* s = list; s != nullptr; s = s->next) {
    if (s->logTime) {
      if (const char* reason = fixupLogVariable(s->time)) {
        std::fprintf(stderr, log_text::kErrorWritingDueTo, fileName, reason);
        outcome.error = true;
        return;
      }
    }
    // A value that cannot be fixed up is reported; the structure is still
    // written, and the file is removed at the end because of the error.
    for (LogVariable* value = s->signals.values; value != nullptr; value = value->next) {
      if (const char* reason = fixupLogVariable(value)) {
        std::fprintf(stderr, log_text::kErrorWritingDueTo, fileName, reason);
        outcome.error = true;
        break;
      }
    }
    QmfItem item{kQmfMatrix, 0, s};
    if (writeQmfItem(file, &item, kQmfStructLogItem) != 0) {
      std::fprintf(stderr, log_text::kErrorWritingStructLogVariable, s->name, fileName);
      outcome.error = true;
      return;
    }
    outcome.wroteSomething = true;
  }
}

void writeLogFile(const char* fileName, LoggingState* state) {
  std::FILE* file = openScratchFile(fileName);
  if (file == nullptr) {
    std::fprintf(stderr, log_text::kErrorOpening, fileName);
    return;
  }
  WriteOutcome outcome;
  if (writeQmfFileHeader(file) != 0) {
    std::fprintf(stderr, log_text::kErrorWritingFile, fileName);
    outcome.error = true;
  } else {
    // A failure among the matrix variables ends only their loop: the
    // structures are still prepared (with their wrap reports) and written.
    writeMatrixVariables(file, fileName, state->logVariableList, outcome);
    writeStructVariables(file, fileName, state->structLogVariableList, outcome);
  }
  // Buffered data may meet a full disk only now: a failed close is a failed
  // write, never a whole file.
  if (std::fclose(file) != 0 && !outcome.error) {
    std::fprintf(stderr, log_text::kErrorWritingFile, fileName);
    outcome.error = true;
  }
  if (outcome.error || !outcome.wroteSomething)
    removeWrittenFile(fileName);
  else
    std::printf(log_text::kCreatedFile, fileName);
}

}  // namespace

void stopDataLogging(const char* fileName, LoggingSetup* setup) {
  if (setup->state == nullptr) return;
  writeLogFile(fileName, setup->state);
  destroyLoggingState(setup->state);
  setup->state = nullptr;
}

}  // namespace sim
