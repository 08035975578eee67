#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "AtomicWrite.h"
#include "Log.h"
#include "unix_file.h"

namespace {

constexpr unsigned kLogPackage = kLogAttributes;

// Longest line a load accepts, line feed and terminating zero included.
constexpr size_t kLineBufferSize = 2048;
// Lines shorter than this (line feed included) cannot hold "k=" and are skipped.
constexpr size_t kShortestLine = 3;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(size_t(needed > 0 ? needed : 0), '\0');
    vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

bool IsSpace(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

void TrimTrailingSpace(std::string& text) {
    while (!text.empty() && IsSpace(text.back())) {
        text.pop_back();
    }
}

const char* SkipSpace(const char* text) {
    while (*text && IsSpace(*text)) {
        ++text;
    }
    return text;
}

// Splits one line into key and value. Lines without "=" carry no entry.
bool ParseLine(const char* line, size_t length, std::string& key, std::string& value) {
    if (length < kShortestLine || line[0] == '#') {
        return false;
    }
    const char* start = SkipSpace(line);
    const char* equals = strchr(start, '=');
    if (!equals) {
        return false;
    }
    key.assign(start, equals);
    TrimTrailingSpace(key);
    value.assign(SkipSpace(equals + 1));
    TrimTrailingSpace(value);
    return true;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
    if (path) {
        Load(path);
    }
}

std::string KeyValueStore::TimeStamp() {
    const time_t now = time(nullptr);
    char text[64] = {};
    if (!ctime_r(&now, text)) {
        return {};
    }
    std::string stamp(text);
    if (!stamp.empty() && stamp.back() == '\n') {
        stamp.pop_back();
    }
    return stamp;
}

const char* KeyValueStore::operator[](const char* key) const {
    auto entry = entries.find(key);
    return entry == entries.end() ? nullptr : entry->second.c_str();
}

const char* KeyValueStore::NumericValue(const char* key) {
    const std::string& value = entries[key];
    return value.empty() ? nullptr : value.c_str();
}

int KeyValueStore::GetInt(const char* key, int def) {
    const char* value = NumericValue(key);
    return value ? atoi(value) : def;
}

unsigned KeyValueStore::GetHex(const char* key, unsigned def) {
    const char* value = NumericValue(key);
    return value ? unsigned(strtol(value, nullptr, 16)) : def;
}

bool KeyValueStore::GetBOOL(const char* key, bool def) {
    const char* value = NumericValue(key);
    return value ? atoi(value) != 0 : def;
}

double KeyValueStore::GetDouble(const char* key, double def) {
    const char* value = NumericValue(key);
    return value ? atof(value) : def;
}

std::string KeyValueStore::GetString(const char* key, const char* def) const {
    auto entry = entries.find(key);
    if (entry != entries.end()) {
        return entry->second;
    }
    return def ? def : "";
}

void KeyValueStore::Set(const char* key, const std::string& text) {
    std::string& current = entries[key];
    if (current != text) {
        modified = true;
        current = text;
    }
}

bool KeyValueStore::Add(const char* key, int value) {
    Set(key, Format("%d", value));
    return true;
}

bool KeyValueStore::Add(const char* key, double value) {
    Set(key, Format("%f", value));
    return true;
}

bool KeyValueStore::Add(const char* key, const char* value) {
    Set(key, value ? value : "");
    return true;
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
    Set(key, value);
    return true;
}

bool KeyValueStore::AddHex(const char* key, unsigned value) {
    Set(key, Format("0x%08X", value));
    return true;
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& [key, value] : other.entries) {
        entries[key] = value;
        modified = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    entries.clear();
    modified = true;
    return true;
}

void KeyValueStore::Load(const char* path) {
    if (!path) {
        return;
    }
    aFileHandle file = aFile_Open(path, aFileModeRead);
    if (!file) {
        Log::log(kLogPackage, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path,
                 errno);
        // One stamp for both keys, so a new file's two times always agree.
        const std::string stamp = TimeStamp();
        Add(KEY_CREATED_TIME, stamp);
        SaveStamped(path, stamp);
    }
    filename = path;
    modified = false;
    if (!file) {
        return;
    }
    char line[kLineBufferSize];
    size_t length = 0;
    std::string key;
    std::string value;
    while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) {
        if (ParseLine(line, length, key, value)) {
            entries[key] = value;
        }
    }
    aFile_Close(&file);
}

void KeyValueStore::Save(const char* path) {
    SaveStamped(path, TimeStamp());
}

void KeyValueStore::SaveStamped(const char* path, const std::string& stamp) {
    if (path) {
        filename = path;
    } else if (filename.empty()) {
        filename = DEFAULT_FILENAME;
        Log::log(kLogPackage, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename.c_str());
    }
    if (modified) {
        Add(KEY_UPDATED_TIME, stamp);
    }
    std::string text;
    for (const auto& [key, value] : entries) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    }
    // The file is replaced as a whole, so a crash or a full disk keeps the old one.
    int error = 0;
    const aErr result = AtomicWrite(filename, text.data(), text.size(), &error);
    if (result == aErrNotFound) {
        Log::log(kLogPackage,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 filename.c_str(), error);
        return;
    }
    if (result != aErrNone) {
        Log::log(kLogPackage, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 filename.c_str(), error);
        return;
    }
    modified = false;
}
