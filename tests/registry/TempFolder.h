#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace postwarden::testing {

// A fresh folder under the test's temporary folder, removed with its content.
class RegistryFolder {
  public:
    RegistryFolder() {
        std::string pattern = ::testing::TempDir() + "/pw-registry-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~RegistryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    RegistryFolder(const RegistryFolder&) = delete;
    RegistryFolder& operator=(const RegistryFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name = "registry.db") const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace postwarden::testing
