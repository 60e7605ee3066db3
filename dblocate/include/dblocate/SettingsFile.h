#pragma once

#include <stdexcept>
#include <string>

namespace dblocate {

// Raised when the settings file is there but cannot be read; the text names the full path.
class SettingsReadError : public std::runtime_error {
public:
    explicit SettingsReadError(const std::string& path);
};

// Raised when the settings file cannot be saved; the text names the full path.
class SettingsWriteError : public std::runtime_error {
public:
    explicit SettingsWriteError(const std::string& path);
};

// An INI file read and written like a Windows private-profile file: section and
// key names are case-insensitive, anything missing reads as empty, blanks and
// enclosing quotes around a value are dropped, and a write touches only the one
// line of its key, keeping every other line of the file as it was. The file may
// be UTF-8, Windows-1252 or UTF-16 with its byte order mark (Notepad's
// "Unicode"), as Windows reads it; a save keeps its encoding.
// Each call reads the file afresh; nothing is cached between calls.
class SettingsFile {
public:
    static constexpr std::size_t MaxValueLength = 2047; // characters returned at most

    explicit SettingsFile(std::string path);

    const std::string& Path() const { return path_; }

    // UTF-8 value of key in section; empty when the file, section or key is missing.
    // Throws SettingsReadError when the file exists but cannot be read.
    std::string ReadString(const std::string& section, const std::string& key) const;

    // Replaces the first line of key in section, or adds it at the end of the
    // section, creating the section and the file when missing. The new content is
    // written to a temporary file next to the old one, given the old file's owner,
    // group and permissions, and renamed over it; when the folder takes no new
    // file or the owner cannot be kept, an existing file is rewritten in place
    // (always on Windows, where that keeps its ACL).
    // Throws SettingsReadError, or SettingsWriteError("Unable to write to <path>").
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
    std::string path_;
};

} // namespace dblocate
