// Helpers shared by the unit tests: a throw-away directory used as the module
// directory, and environment variables restored when a test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kt {

// A fresh directory under $TMPDIR or /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kestrun-unit-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        else
            path_ = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const {
        return path_;
    }
    std::string file(const std::string &name) const {
        return path_ + "/" + name;
    }

    bool write(const std::string &name, const std::string &content) const {
        std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(file(name).c_str(), "wb"),
                                                 &std::fclose);
        if (!f)
            return false;
        return std::fwrite(content.data(), 1, content.size(), f.get()) == content.size();
    }

  private:
    std::string path_;
};

// Sets environment variables for the life of the object, then puts back what
// was there before.
class ScopedEnv {
  public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }
    void set(const std::string &name, const std::string &value) {
        remember(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string &name) {
        remember(name);
        unsetenv(name.c_str());
    }

  private:
    void remember(const std::string &name) {
        const char *old = std::getenv(name.c_str());
        saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace kt
