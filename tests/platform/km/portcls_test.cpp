// PortCls's adapter services and COM base: reference counts and
// aggregation, the WaveRT port's Init contract, subdevice registration and
// removal with their device interfaces, and what removal releases.

#include <gtest/gtest.h>

#include <portcls.h>
#include <stdunk.h>

#include "kmsim/device_interfaces.h"
#include "kmsim/device_nodes.h"
#include "kmsim/io.h"
#include "kmsim/portcls.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "adapter_device.h"
#include "test_miniport.h"

namespace {

constexpr ULONG kTag = 0x74736554;  // 'Test'

const GUID kCategories[] = {STATICGUIDOF(KSCATEGORY_AUDIO), STATICGUIDOF(KSCATEGORY_CAPTURE)};
using Miniport = kmtest::TestMiniport;

const PCFILTER_DESCRIPTOR kFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 0, nullptr, sizeof(PCNODE_DESCRIPTOR), 0,
                                     nullptr, 0, nullptr, 2, kCategories};

// A plain object standing in for an adapter's unknown; optionally aggregated.
class Plain : public CUnknown {
public:
    DEFINE_STD_CONSTRUCTOR(Plain);
};

// The reference count an object has now (AddRef and Release report it).
ULONG References(PUNKNOWN object) {
    object->AddRef();
    return object->Release();
}

// An adapter device over a bus PDO, removed at the end.
class PortClsTest : public ::testing::Test {
protected:
    void Remove() { device_.Remove(); }

    // A port initialised with a new miniport and adapter; the caller owns one reference to each.
    void NewSubdevice(PPORT* port, Miniport** miniport, Plain** adapter) {
        ASSERT_EQ(PcNewPort(port, CLSID_PortWaveRT), STATUS_SUCCESS);
        *miniport = new (NonPagedPool, kTag) Miniport(nullptr);
        (*miniport)->description = &kFilter;
        (*miniport)->AddRef();
        *adapter = new (NonPagedPool, kTag) Plain(nullptr);
        (*adapter)->NonDelegatingAddRef();
        ASSERT_EQ((*port)->Init(fdo_, nullptr, PMINIPORTWAVERT(*miniport), PUNKNOWN(PNONDELEGATINGUNKNOWN(*adapter)),
                                nullptr),
                  STATUS_SUCCESS);
    }

    kmsim::Simulation sim_;
    kmtest::AdapterDevice device_{2};
    PDEVICE_OBJECT pdo_ = device_.pdo();
    PDEVICE_OBJECT fdo_ = device_.fdo();
};

TEST_F(PortClsTest, AnUnaggregatedObjectIsItsOwnOuterUnknownAndGoesWithItsLastRelease) {
    auto* object = new (NonPagedPool, kTag) Plain(nullptr);
    EXPECT_EQ(kmsim::OutstandingAllocations(kTag), 1u);
    PUNKNOWN outer = object->GetOuterUnknown();
    EXPECT_EQ(outer->AddRef(), 1u);
    PUNKNOWN unknown;
    ASSERT_EQ(outer->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&unknown)), STATUS_SUCCESS);
    EXPECT_EQ(unknown, outer);
    EXPECT_EQ(References(outer), 2u);
    PVOID other;
    EXPECT_EQ(outer->QueryInterface(IID_IPort, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    unknown->Release();
    EXPECT_EQ(kmsim::LiveComObjects(), 1u);
    EXPECT_EQ(outer->Release(), 0u);
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
    EXPECT_EQ(kmsim::OutstandingAllocations(kTag), 0u);
}

TEST_F(PortClsTest, AnAggregatedObjectCountsOnItsOuterUnknown) {
    auto* outer = new (NonPagedPool, kTag) Plain(nullptr);
    PUNKNOWN outerUnknown = outer->GetOuterUnknown();
    outerUnknown->AddRef();
    auto* inner = new (NonPagedPool, kTag) Miniport(outerUnknown);
    inner->NonDelegatingAddRef();
    PMINIPORTWAVERT face = inner;
    face->AddRef();  // forwarded to the outer object
    EXPECT_EQ(References(outerUnknown), 2u);
    face->Release();
    EXPECT_EQ(inner->NonDelegatingRelease(), 0u);
    EXPECT_EQ(outerUnknown->Release(), 0u);
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

TEST_F(PortClsTest, OnlyTheWaveRtPortIsMadeAndItsInitBindsMiniportAndAdapter) {
    PPORT port = reinterpret_cast<PPORT>(1);
    EXPECT_EQ(PcNewPort(&port, IID_IPort), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(port, nullptr);
    Miniport* miniport;
    Plain* adapter;
    NewSubdevice(&port, &miniport, &adapter);
    EXPECT_EQ(miniport->port_, port);
    EXPECT_EQ(miniport->adapter_, PUNKNOWN(PNONDELEGATINGUNKNOWN(adapter)));
    EXPECT_EQ(References(PMINIPORTWAVERT(miniport)), 2u);  // ours and the port's
    EXPECT_EQ(References(PUNKNOWN(PNONDELEGATINGUNKNOWN(adapter))), 3u);  // ours, the port's, the miniport's
    EXPECT_EQ(port->Init(fdo_, nullptr, PMINIPORTWAVERT(miniport), nullptr, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    PVOID face;
    ASSERT_EQ(port->QueryInterface(IID_IUnregisterSubdevice, &face), STATUS_SUCCESS);
    static_cast<PUNKNOWN>(face)->Release();
    EXPECT_EQ(port->QueryInterface(IID_IMiniport, &face), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterSubdevice(fdo_, const_cast<PWSTR>(L"Wave"), nullptr), STATUS_INVALID_PARAMETER);
    // Never registered, so PortCls never drops the miniport: the miniport and
    // the port hold each other until the miniport lets its port go.
    miniport->Release();
    adapter->NonDelegatingRelease();
    port->Release();
    EXPECT_EQ(kmsim::LiveComObjects(), 3u);
    PPORTWAVERT held = miniport->port_;
    miniport->port_ = nullptr;
    held->Release();
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

TEST_F(PortClsTest, AMiniportThatFailsInitLeavesNoReferenceBehind) {
    PPORT port;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveRT), STATUS_SUCCESS);
    auto* miniport = new (NonPagedPool, kTag) Miniport(nullptr);
    miniport->description = &kFilter;
    miniport->AddRef();
    miniport->initStatus = STATUS_DEVICE_NOT_READY;
    auto* adapter = new (NonPagedPool, kTag) Plain(nullptr);
    adapter->NonDelegatingAddRef();
    EXPECT_EQ(port->Init(fdo_, nullptr, PMINIPORTWAVERT(miniport), PUNKNOWN(PNONDELEGATINGUNKNOWN(adapter)), nullptr),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(References(PMINIPORTWAVERT(miniport)), 1u);
    EXPECT_EQ(References(PUNKNOWN(PNONDELEGATINGUNKNOWN(adapter))), 1u);
    EXPECT_EQ(PcRegisterSubdevice(fdo_, const_cast<PWSTR>(L"Wave"), port), STATUS_INVALID_DEVICE_REQUEST);
    miniport->Release();
    adapter->NonDelegatingRelease();
    port->Release();
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

TEST_F(PortClsTest, ASubdevicePublishesItsCategoriesUntilItIsUnregistered) {
    kmsim::DeviceInterfaceWatch capture(KSCATEGORY_CAPTURE);
    PPORT port;
    Miniport* miniport;
    Plain* adapter;
    NewSubdevice(&port, &miniport, &adapter);
    ASSERT_EQ(PcRegisterSubdevice(fdo_, const_cast<PWSTR>(L"Wave"), port), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterSubdevice(fdo_, const_cast<PWSTR>(L"WAVE"), port), STATUS_OBJECT_NAME_COLLISION);
    Plain* notAPort = new (NonPagedPool, kTag) Plain(nullptr);
    EXPECT_EQ(PcRegisterSubdevice(fdo_, const_cast<PWSTR>(L"Other"), notAPort->GetOuterUnknown()),
              STATUS_INVALID_PARAMETER);
    delete notAPort;
    ASSERT_EQ(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).size(), 1u);
    EXPECT_EQ(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO)[0].path,
              "\\\\?\\ROOT#MEDIA#0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave");
    ASSERT_EQ(capture.Events().size(), 1u);
    miniport->Release();
    adapter->NonDelegatingRelease();

    PUNREGISTERSUBDEVICE unregister;
    ASSERT_EQ(port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)), STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterSubdevice(fdo_, port), STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterSubdevice(fdo_, port), STATUS_NOT_FOUND);
    unregister->Release();
    EXPECT_TRUE(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).empty());
    ASSERT_EQ(capture.Events().size(), 2u);
    EXPECT_FALSE(capture.Events()[1].arrival);
    EXPECT_EQ(kmsim::LiveComObjects(), 1u);  // only our port: the miniport and adapter went with the subdevice
    port->Release();
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

TEST_F(PortClsTest, RemovalReleasesSubdevicesAndThePowerRegistrationBeyondMaxObjectsNothingRegisters) {
    for (const wchar_t* name : {L"One", L"Two", L"Three"}) {
        PPORT port;
        Miniport* miniport;
        Plain* adapter;
        NewSubdevice(&port, &miniport, &adapter);
        NTSTATUS expected = name[1] == L'h' ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;  // MaxObjects is 2
        EXPECT_EQ(PcRegisterSubdevice(fdo_, const_cast<PWSTR>(name), port), expected);
        if (name[0] == L'O') {
            EXPECT_EQ(PcRegisterAdapterPowerManagement(PUNKNOWN(PNONDELEGATINGUNKNOWN(adapter)), fdo_),
                      STATUS_INVALID_PARAMETER);  // no IAdapterPowerManagement face
        }
        PUNREGISTERSUBDEVICE unregister;
        if (expected != STATUS_SUCCESS) {
            port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
            EXPECT_EQ(unregister->UnregisterSubdevice(fdo_, port), STATUS_NOT_FOUND);
            unregister->Release();
            // Never registered: drop the cycle the way a driver's removal path would.
            static_cast<IUnknown*>(miniport->port_)->Release();
            miniport->port_ = nullptr;
        }
        miniport->Release();
        adapter->NonDelegatingRelease();
        port->Release();
    }
    EXPECT_EQ(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).size(), 2u);
    PDEVICE_OBJECT physical;
    ASSERT_EQ(PcGetPhysicalDeviceObject(fdo_, &physical), STATUS_SUCCESS);
    EXPECT_EQ(physical, pdo_);
    EXPECT_EQ(PcGetPhysicalDeviceObject(pdo_, &physical), STATUS_INVALID_PARAMETER);
    Remove();
    EXPECT_TRUE(kmsim::EnabledDeviceInterfaces(KSCATEGORY_AUDIO).empty());
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

TEST(PortClsTeardown, AnObjectStillReferencedIsReported) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            auto* object = new (NonPagedPool, kTag) Plain(nullptr);
            object->GetOuterUnknown()->AddRef();
        },
        "COM object at .* still has 1 reference");
}

}  // namespace
