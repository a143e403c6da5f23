// The settings fakes: an in-memory profile and a run-on-startup registration that record
// what was written and can be made to fail.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace skiff::testing {

class InMemoryProfile final : public IProfile {
 public:
  std::string GetString(const std::string& section, const std::string& name,
                        const std::string& defaultValue) override {
    return Get(section, name).value_or(defaultValue);
  }
  bool WriteString(const std::string& section, const std::string& name, const std::string& value) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (failWrites) return false;
    m_values[{section, name}] = value;
    m_writes.push_back(section + "/" + name + "=" + value);
    return true;
  }
  bool DeleteEntry(const std::string& section, const std::string& name) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.erase({section, name}) > 0;
  }

  std::atomic<bool> failWrites{false};
  void Set(const std::string& section, const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[{section, name}] = value;
  }
  std::optional<std::string> Get(const std::string& section, const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_values.find({section, name});
    return found == m_values.end() ? std::nullopt : std::optional<std::string>(found->second);
  }
  std::vector<std::string> Writes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
  }

 private:
  mutable std::mutex m_mutex;
  std::map<std::pair<std::string, std::string>, std::string> m_values;
  std::vector<std::string> m_writes;
};

class FakeRegistration final : public IRunOnStartup {
 public:
  bool IsRunOnStartup() override { return registered; }
  bool SetRunOnStartup(bool on) override {
    calls.push_back(on);
    if (fail) return false;
    registered = on;
    return true;
  }
  std::string LastError() const override { return fail ? "disk full" : ""; }

  std::atomic<bool> registered{false}, fail{false};
  std::vector<bool> calls;  // the test's thread only
};

}  // namespace skiff::testing
