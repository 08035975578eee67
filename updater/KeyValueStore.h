// A small persistent dictionary of text keys and values kept in a text file of
// "key=value" lines. Reading is tolerant (white space, "#" comments, short lines,
// carriage returns); saving writes every entry sorted by key and stamps
// UPDATED_TIME when something changed. Failures are logged, never thrown.
#ifndef KESTRIX_KEYVALUESTORE_H
#define KESTRIX_KEYVALUESTORE_H

#include <map>
#include <string>

class KeyValueStore {
  public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // An empty store; loads `path` when it is not null (creating the file if missing).
    explicit KeyValueStore(const char* path = nullptr);

    // The value of `key`, or null when absent. Never adds an entry.
    const char* operator[](const char* key) const;

    // Numeric getters: `def` when the key is absent or its value empty, else the
    // lenient C conversion of the value (atoi, strtol base 16, atof). An absent key is
    // left behind with an empty value, which the next Save writes out.
    int GetInt(const char* key, int def);
    unsigned GetHex(const char* key, unsigned def);
    bool GetBOOL(const char* key, bool def);  // only a non-zero number is true
    double GetDouble(const char* key, double def);
    // The value when present (even empty), else `def`, else "". Never adds an entry.
    std::string GetString(const char* key, const char* def) const;

    // Setters store the value as text ("%d", "%f", as is, "0x%08X") and mark the store
    // modified when the text differs from the current one. All return true.
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, unsigned value);
    // Copies every entry of `other` over this store's; marks modified when non-empty.
    bool Add(const KeyValueStore& other);
    // Removes every entry and marks the store modified.
    bool Clear();

    // Merges the file at `path` into the entries and binds the store to it. A file
    // that cannot be opened is created with CREATED_TIME and UPDATED_TIME.
    void Load(const char* path);
    // Writes all entries to `path` (or the bound file, or ".settings" in the working
    // directory), replacing the file as a whole: a failed save leaves the old file.
    void Save(const char* path);

    // The current local time as ctime writes it, without the line feed
    // ("Thu Dec 10 00:47:30 2026"): the form of every time stamp in a settings file.
    static std::string TimeStamp();

    std::string filename;
    std::map<std::string, std::string> entries;
    bool modified = false;

  private:
    void Set(const char* key, const std::string& text);
    // The entry's value via the inserting lookup, or null when it is empty.
    const char* NumericValue(const char* key);
    void SaveStamped(const char* path, const std::string& stamp);
};

#endif
