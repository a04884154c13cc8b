// The registry: keys and handles, value queries with the platform's buffer
// rules, the Rtl helpers, a device's hardware key, and the text form.

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "kmsim/device_nodes.h"
#include "kmsim/io.h"
#include "kmsim/registry.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

constexpr char kSoftware[] = "\\Registry\\Machine\\SOFTWARE\\Test";

// Key handles for a test; each is closed at the end unless the test closed it.
class RegistryTest : public ::testing::Test {
protected:
    NTSTATUS Open(PCWSTR path, HANDLE* handle, ACCESS_MASK access = KEY_ALL_ACCESS, HANDLE root = nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        NTSTATUS status = ZwOpenKey(handle, access, &attributes);
        Remember(status, *handle);
        return status;
    }
    NTSTATUS Create(PCWSTR path, HANDLE* handle, ULONG* disposition = nullptr, HANDLE root = nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        NTSTATUS status = ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      disposition);
        Remember(status, *handle);
        return status;
    }
    void Close(HANDLE handle) {
        ZwClose(handle);
        std::erase(open_, handle);
    }
    void TearDown() override {
        for (HANDLE handle : open_) {
            ZwClose(handle);
        }
    }
    NTSTATUS QueryPartial(HANDLE key, PCWSTR valueName, std::vector<UCHAR>& buffer, ULONG* result) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, valueName);
        return ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                               result);
    }

    kmsim::Simulation sim_;

private:
    void Remember(NTSTATUS status, HANDLE handle) {
        if (NT_SUCCESS(status)) open_.push_back(handle);
    }
    std::vector<HANDLE> open_;
};

TEST_F(RegistryTest, MissingKeysAndBadPathsGiveThePlatformsStatuses) {
    HANDLE key = nullptr;
    EXPECT_EQ(Open(L"\\Registry\\Machine\\SOFTWARE\\Missing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(L"\\Registry\\Machine\\SOFTWARE\\Missing\\Deeper", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(L"\\Device\\Something", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(L"Registry\\Machine", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(L"\\Registry\\Machine\\\\SOFTWARE", &key), STATUS_OBJECT_NAME_INVALID);
    // ZwCreateKey creates the last component only.
    EXPECT_EQ(Create(L"\\Registry\\Machine\\SOFTWARE\\Missing\\Deeper", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(kmsim::RegistryKeyExists("\\Registry\\Machine\\SOFTWARE\\Missing"));
}

TEST_F(RegistryTest, CreateReportsWhetherTheKeyIsNewAndNamesIgnoreCase) {
    HANDLE first, second, relative;
    ULONG disposition = 0;
    ASSERT_EQ(Create(L"\\Registry\\Machine\\SOFTWARE\\Vendor", &first, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Create(L"\\REGISTRY\\MACHINE\\software\\VENDOR", &second, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    // A name relative to an open key.
    ASSERT_EQ(Create(L"Product", &relative, &disposition, first), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(kmsim::RegistryKeyExists("\\Registry\\Machine\\SOFTWARE\\vendor\\PRODUCT"));
}

TEST_F(RegistryTest, PartialInformationSizesFollowThePublishedRules) {
    kmsim::RegistrySetValue(kSoftware, "Blob", REG_BINARY, {1, 2, 3, 4, 5, 6});
    HANDLE key;
    ASSERT_EQ(Open(L"\\Registry\\Machine\\SOFTWARE\\Test", &key, KEY_READ), STATUS_SUCCESS);
    ULONG result = 0;
    std::vector<UCHAR> exact(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + 6, 0xEE);
    ASSERT_EQ(QueryPartial(key, L"Blob", exact, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, exact.size());
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(exact.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(info->DataLength, 6u);
    EXPECT_EQ(info->Data[5], 6);

    // Room for the fixed part but not the data: the fixed part, what fits, overflow.
    std::vector<UCHAR> shortBuffer(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + 2, 0xEE);
    EXPECT_EQ(QueryPartial(key, L"Blob", shortBuffer, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, exact.size());
    info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(shortBuffer.data());
    EXPECT_EQ(info->DataLength, 6u);

    // Less than the fixed part: nothing written.
    std::vector<UCHAR> tiny(8, 0xEE);
    EXPECT_EQ(QueryPartial(key, L"Blob", tiny, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, exact.size());
    EXPECT_EQ(tiny, std::vector<UCHAR>(8, 0xEE));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Blob");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, exact.size());

    EXPECT_EQ(QueryPartial(key, L"Missing", exact, &result), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, BasicAndFullInformationCarryTheNameAndAlignedData) {
    kmsim::RegistrySetDword(kSoftware, "Abc", 0x11223344);
    HANDLE key;
    ASSERT_EQ(Open(L"\\Registry\\Machine\\SOFTWARE\\Test", &key, KEY_READ), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"ABC");  // value names ignore case too
    ULONG result = 0;
    std::vector<UCHAR> buffer(64, 0);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buffer.data(), 64, &result), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(result, 12u + 6u);
    EXPECT_EQ(basic->NameLength, 6u);
    EXPECT_EQ(basic->Name[0], L'A');  // the name as it was created
    EXPECT_EQ(basic->Name[1], L'b');

    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer.data(), 64, &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(full->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(full->DataOffset, 28u);  // 20 + 6 name bytes, rounded up to a ULONG
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(result, 32u);
    ULONG data;
    memcpy(&data, buffer.data() + full->DataOffset, 4);
    EXPECT_EQ(data, 0x11223344u);

    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer.data(), 19, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer.data(), 20, &result), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RegistryTest, ValuesAreSetAndDeletedThroughAHandleThatMayWrite) {
    HANDLE writable, readOnly;
    ASSERT_EQ(Create(L"\\Registry\\Machine\\SOFTWARE\\Test", &writable), STATUS_SUCCESS);
    ASSERT_EQ(Open(L"\\Registry\\Machine\\SOFTWARE\\Test", &readOnly, KEY_READ), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"SampleRate");
    ULONG rate = 48000;
    EXPECT_EQ(ZwSetValueKey(readOnly, &name, 0, REG_DWORD, &rate, sizeof rate), STATUS_ACCESS_DENIED);
    ASSERT_EQ(ZwSetValueKey(writable, &name, 0, REG_DWORD, &rate, sizeof rate), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::RegistryGetDword(kSoftware, "samplerate"), 48000u);
    rate = 96000;
    ASSERT_EQ(ZwSetValueKey(writable, &name, 0, REG_DWORD, &rate, sizeof rate), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::RegistryGetDword(kSoftware, "SampleRate"), 96000u);
    EXPECT_EQ(ZwDeleteValueKey(readOnly, &name), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteValueKey(writable, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(writable, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(kmsim::RegistryGetValue(kSoftware, "SampleRate").has_value());

    // A key deleted under an open handle.
    kmsim::RegistryDeleteKey(kSoftware);
    EXPECT_EQ(ZwSetValueKey(writable, &name, 0, REG_DWORD, &rate, sizeof rate), STATUS_KEY_DELETED);
}

TEST_F(RegistryTest, HandlesOfOtherObjectsAreRefused) {
    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }, nullptr),
              STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"x");
    ULONG result;
    EXPECT_EQ(ZwQueryValueKey(thread, &name, KeyValuePartialInformation, nullptr, 0, &result),
              STATUS_OBJECT_TYPE_MISMATCH);
    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    ZwClose(thread);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
}

TEST_F(RegistryTest, AKeyLeftOpenIsReportedWithItsPath) {
    HANDLE key;
    ASSERT_EQ(Create(L"\\Registry\\Machine\\SOFTWARE\\Forgotten", &key), STATUS_SUCCESS);
    std::string report = kmsim::LeakReport();
    EXPECT_NE(report.find("registry key \\REGISTRY\\Machine\\SOFTWARE\\Forgotten is still open"), std::string::npos)
        << report;
    EXPECT_NE(report.find("Key object"), std::string::npos) << report;
    Close(key);
    report = kmsim::LeakReport();
    EXPECT_EQ(report.find("registry key"), std::string::npos) << report;
    EXPECT_EQ(report.find("Key object"), std::string::npos) << report;
}

// ---------------------------------------------------------------- RtlQueryRegistryValues

class RtlRegistryTest : public RegistryTest {};

constexpr ULONG kDwordChecked = REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);

TEST_F(RtlRegistryTest, DirectDwordsTakeStoredValuesOrDefaults) {
    kmsim::RegistrySetDword(kSoftware, "param1", 4);
    ULONG first = 8, second = 8;
    ULONG firstDefault = first, secondDefault = second;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, L"param1", &first, kDwordChecked,
                &firstDefault, sizeof(ULONG)};
    table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, L"param2", &second, kDwordChecked,
                &secondDefault, sizeof(ULONG)};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\Test", table, nullptr,
                                     nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(first, 4u);
    EXPECT_EQ(second, 8u);  // missing: the default
}

TEST_F(RtlRegistryTest, FailuresLeaveTheDestinationsAlone) {
    ULONG value = 7;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, L"param1", &value, kDwordChecked,
                nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\Test", table, nullptr,
                                     nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);  // the key is missing
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                     L"\\Registry\\Machine\\SOFTWARE\\Test", table, nullptr, nullptr),
              STATUS_SUCCESS);
    kmsim::RegistrySetString(kSoftware, "param1", "8");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\Test", table, nullptr,
                                     nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    kmsim::RegistryDeleteValue(kSoftware, "param1");
    table[0].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\Test", table, nullptr,
                                     nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 7u);
}

TEST_F(RtlRegistryTest, DirectStringsFillOrAllocateTheCallersString) {
    kmsim::RegistrySetString("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vq7audio", "DisplayName",
                             "Audio");
    WCHAR small[3];
    UNICODE_STRING fixed{0, sizeof small, small};
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, L"DisplayName", &fixed, REG_NONE, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"vq7audio", table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    UNICODE_STRING allocated{0, 0, nullptr};
    table[0].EntryContext = &allocated;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"vq7audio", table, nullptr, nullptr), STATUS_SUCCESS);
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, L"Audio");
    EXPECT_TRUE(RtlEqualUnicodeString(&allocated, &expected, FALSE));
    RtlFreeUnicodeString(&allocated);
}

struct Seen {
    std::vector<ULONG> types;
    std::vector<ULONG> lengths;
};

NTSTATUS RecordValue(PWSTR, ULONG type, PVOID, ULONG length, PVOID context, PVOID) {
    auto* seen = static_cast<Seen*>(context);
    seen->types.push_back(type);
    seen->lengths.push_back(length);
    return STATUS_SUCCESS;
}

TEST_F(RtlRegistryTest, ARoutineSeesAMultiStringStringByString) {
    const std::vector<uint8_t> twoStrings = {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0};  // "a", "bc"
    kmsim::RegistrySetValue(kSoftware, "List", REG_MULTI_SZ, twoStrings);
    Seen seen;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {RecordValue, 0, L"List", nullptr, REG_NONE, nullptr, 0};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\Test", table, &seen,
                                     nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.types, (std::vector<ULONG>{REG_SZ, REG_SZ}));
    EXPECT_EQ(seen.lengths, (std::vector<ULONG>{4, 6}));
    seen = {};
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\Test", table, &seen,
                                     nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.types, (std::vector<ULONG>{REG_MULTI_SZ}));
    EXPECT_EQ(seen.lengths, (std::vector<ULONG>{12}));
}

TEST_F(RtlRegistryTest, WriteCreatesTheLastKeyOfThePath) {
    ULONG value = 5;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\A\\B", L"v", REG_DWORD,
                                    &value, sizeof value),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\SOFTWARE\\A", L"v", REG_DWORD, &value,
                                    sizeof value),
              STATUS_SUCCESS);
    EXPECT_EQ(kmsim::RegistryGetDword("\\Registry\\Machine\\SOFTWARE\\A", "v"), 5u);
}

// ---------------------------------------------------------------- a device's keys

TEST_F(RegistryTest, TheHardwareKeyIsTheInstancesDeviceParameters) {
    kmsim::DriverObject bus(L"\\Driver\\bus");
    PDEVICE_OBJECT pdo, other;
    ASSERT_EQ(IoCreateDevice(bus.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(bus.get(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
    kmsim::RegisterDeviceNode(pdo, {"USB\\VID_1234&PID_5678&MI_00\\6&1a2b3c4d&0&0000", {}, "vq7audio"});
    kmsim::RegistrySetDword(kmsim::DeviceHardwareKeyPath(pdo), "SampleRate", 44100);
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(16);
    ULONG result;
    ASSERT_EQ(QueryPartial(key, L"SampleRate", buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(*reinterpret_cast<PULONG>(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data())->Data), 44100u);
    ZwClose(key);
    EXPECT_EQ(kmsim::DeviceHardwareKeyPath(pdo),
              "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678&MI_00\\6&1a2b3c4d&0&0000"
              "\\Device Parameters");
    EXPECT_EQ(IoOpenDeviceRegistryKey(other, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_INVALID_PARAMETER);
    kmsim::UnregisterDeviceNode(pdo);
    IoDeleteDevice(other);
    IoDeleteDevice(pdo);
}

// ---------------------------------------------------------------- the text form

TEST_F(RegistryTest, TheTextFormKeepsEveryTypeExactly) {
    kmsim::RegistrySetDword(kSoftware, "Rate", 0xac44);
    kmsim::RegistrySetString(kSoftware, "Name", "quote \" backslash \\ \xc3\xa9");
    kmsim::RegistrySetString(kSoftware, "", "default");
    kmsim::RegistrySetValue(kSoftware, "List", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
    kmsim::RegistrySetValue(kSoftware, "Empty", REG_MULTI_SZ, {0, 0});
    kmsim::RegistrySetValue(kSoftware, "Blob", REG_BINARY, {0, 0xff});
    kmsim::RegistrySetValue(kSoftware, "Q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0x80});
    kmsim::RegistrySetValue(kSoftware, "Unterminated", REG_SZ, {'x', 0});
    kmsim::RegistrySetValue(kSoftware, "ShortDword", REG_DWORD, {1, 2});
    kmsim::RegistryCreateKey("\\Registry\\User\\.DEFAULT\\Empty Key");
    std::string saved = kmsim::RegistrySave();
    EXPECT_NE(saved.find("\"Rate\"=dword:0000ac44\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Name\"=sz:\"quote \\\" backslash \\\\ \xc3\xa9\"\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("@=sz:\"default\"\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"List\"=multi_sz:\"a\",\"b\"\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Unterminated\"=hex(1):78,00\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"ShortDword\"=hex(4):01,02\n"), std::string::npos) << saved;

    kmsim::RegistryDeleteKey(kSoftware);
    kmsim::RegistryDeleteKey("\\Registry\\User\\.DEFAULT\\Empty Key");
    ASSERT_NE(kmsim::RegistrySave(), saved);
    std::string error;
    ASSERT_TRUE(kmsim::RegistryLoad(saved, &error)) << error;
    EXPECT_EQ(kmsim::RegistrySave(), saved);
}

TEST_F(RegistryTest, AFileLoadsBackAndMalformedLinesAreNamed) {
    kmsim::RegistrySetDword(kSoftware, "Rate", 48000);
    std::string file = ::testing::TempDir() + "registry_test.reg";
    ASSERT_TRUE(kmsim::RegistrySaveFile(file));
    kmsim::RegistryDeleteKey(kSoftware);
    std::string error;
    ASSERT_TRUE(kmsim::RegistryLoadFile(file, &error)) << error;
    EXPECT_EQ(kmsim::RegistryGetDword(kSoftware, "Rate"), 48000u);
    std::remove(file.c_str());

    EXPECT_FALSE(kmsim::RegistryLoad("\"v\"=dword:00000001\n", &error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    EXPECT_FALSE(kmsim::RegistryLoad("[\\Registry\\Machine\\X]\n; fine\n\"v\"=dword:1\n", &error));
    EXPECT_NE(error.find("line 3: malformed value"), std::string::npos) << error;
    EXPECT_FALSE(kmsim::RegistryLoad("[\\Device\\X]\n", &error));
    EXPECT_FALSE(kmsim::RegistryLoad("[\\Registry\\Machine\\X]\n\"v\"=hex:0g\n", &error));
}

}  // namespace

namespace {

TEST(RegistryTeardown, AKeyHandleNeverClosedStopsTheSimulation) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            HANDLE key;
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, L"\\Registry\\Machine\\SOFTWARE");
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
            (void)ZwOpenKey(&key, KEY_READ, &attributes);
        },
        "registry key .*SOFTWARE is still open");
}

}  // namespace
