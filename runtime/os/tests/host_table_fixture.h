// A host record and descriptor table laid out as the launcher lays them out
// at launch, made the runtime's host record for the fixture's lifetime.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "launcher/host_record.h"
#include "runtime/os/host_record_services.h"

namespace os_test {

class HostTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int32_t descriptor = 0; descriptor < 3; ++descriptor)
      table_[descriptor].kind = host::kKindConsole;
    table_[host::kNullDeviceDescriptor].kind = host::kKindNullDevice;
    record_.descriptorTable = table_.data();
    savedRecord_ = redir;
    redir = reinterpret_cast<uint32_t*>(&record_);
  }
  void TearDown() override { redir = savedRecord_; }

  host::DescriptorEntry& entry(int32_t descriptor) { return table_[descriptor]; }

  std::vector<host::DescriptorEntry> table_ =
      std::vector<host::DescriptorEntry>(host::kDescriptorCount);
  host::HostRecord record_{};

 private:
  uint32_t* savedRecord_ = nullptr;
};

}  // namespace os_test
