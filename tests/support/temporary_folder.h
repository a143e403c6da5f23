// A fresh folder under the system's temporary folder for one test, removed with
// everything in it at the end. Portable: the Windows build's tests use it under Wine.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace skiff::testing {

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::random_device random;
    do {
      m_path = (std::filesystem::temp_directory_path() / ("skiff-test-" + std::to_string(random()))).string();
    } while (!std::filesystem::create_directory(m_path));
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

}  // namespace skiff::testing
