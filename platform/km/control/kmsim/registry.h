// The simulation's registry, for tests, the demo and the user-mode stand-in:
// preset and read values directly, and load or save the whole registry as
// text. The kernel reaches the same store through the Zw and Rtl registry
// routines.
//
// Paths are full key paths in UTF-8, "\Registry\Machine\..." or
// "\Registry\User\...", compared without regard to case as the registry does.
// A simulation boots with an empty registry that holds only the standard
// keys (Machine\SYSTEM\CurrentControlSet\{Services,Control,Enum},
// Machine\SOFTWARE, Machine\HARDWARE\DEVICEMAP, User\.DEFAULT).
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kmsim {

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;  // as stored: strings are UTF-16LE with their terminators
};

// Creates the key and every missing parent.
void RegistryCreateKey(const std::string& keyPath);
// Deletes the key with its subkeys and values; open handles to them then
// fail with STATUS_KEY_DELETED.
void RegistryDeleteKey(const std::string& keyPath);
bool RegistryKeyExists(const std::string& keyPath);

// Sets a value, creating the key and its parents. An empty name is the
// key's default value.
void RegistrySetValue(const std::string& keyPath, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data);
void RegistrySetDword(const std::string& keyPath, const std::string& name, uint32_t value);
void RegistrySetString(const std::string& keyPath, const std::string& name, const std::string& value);  // REG_SZ
void RegistryDeleteValue(const std::string& keyPath, const std::string& name);

std::optional<RegistryValue> RegistryGetValue(const std::string& keyPath, const std::string& name);
// The value as a REG_DWORD of 4 bytes; nothing if it is missing or of another type or size.
std::optional<uint32_t> RegistryGetDword(const std::string& keyPath, const std::string& name);
// The value as a REG_SZ or REG_EXPAND_SZ without its terminator.
std::optional<std::string> RegistryGetString(const std::string& keyPath, const std::string& name);

// The registry as text (see docs/kernel-services.md for the format), every
// key in creation order, and back. Loading adds to and overwrites what is
// there; it fails on the first malformed line, naming it in `error`.
std::string RegistrySave();
bool RegistryLoad(const std::string& text, std::string* error = nullptr);
bool RegistrySaveFile(const std::string& fileName);
bool RegistryLoadFile(const std::string& fileName, std::string* error = nullptr);

}  // namespace kmsim
