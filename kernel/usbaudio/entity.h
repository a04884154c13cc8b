// Audio entities: every terminal, unit and clock of the audio-control
// interface becomes one object that knows its descriptor, finds the entities
// it is wired to, and issues the class-specific control requests.
//
//   CUSBAudioEntity
//     +- CUSBAudioDummyUnit        mixer, selector, effect, extension, clock multiplier, rate converter
//     +- CUSBAudioProcessingUnit   class 1.0 processing unit
//     +- CUSBAudioFeatureUnit      (entity_feature_unit.h)
//     +- CUSBAudioTerminal         (entity_terminal.h): input and output terminals
//     +- CUSBAudioClock            (entity_clock.h): clock sources and selectors
//
// Entities cache nothing from the device: every query goes to it. They hold
// no locks; callers serialise. All requests run at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#include "common/pool.h"

class CUSBAudioCL;
class CUSBAudioTerminal;
class CUSBAudioClock;
class CUSBAudioFeatureUnit;

// What an entity is, for code that must tell them apart without RTTI.
enum class EntityKind : UCHAR {
    DummyUnit,
    ProcessingUnit,
    FeatureUnit,
    InputTerminal,
    OutputTerminal,
    ClockSource,
    ClockSelector,
};

// Class request codes and the request types of entity requests.
constexpr UCHAR kRequestCur = 0x01;
constexpr UCHAR kRequestRange = 0x02;
constexpr UCHAR kRequestMin = 0x02;  // class 1.0
constexpr UCHAR kRequestMax = 0x03;  // class 1.0
constexpr UCHAR kRequestRes = 0x04;  // class 1.0
constexpr UCHAR kGetRequestType = 0xA1;
constexpr UCHAR kSetRequestType = 0x21;

class CUSBAudioEntity : public vq7::PoolObject<vq7::kPoolTagUsba> {
public:
    static constexpr ULONG kNone = 0xFFFFFFFF;  // no source, no clock

    CUSBAudioEntity(const UCHAR* descriptor, CUSBAudioCL* owner, EntityKind kind)
        : descriptor_(descriptor), owner_(owner), kind_(kind) {}
    virtual ~CUSBAudioEntity() = default;
    CUSBAudioEntity(const CUSBAudioEntity&) = delete;
    CUSBAudioEntity& operator=(const CUSBAudioEntity&) = delete;

    virtual NTSTATUS Link() = 0;                                   // slot 1
    virtual void DumpDescriptor() const;                           // slot 2
    virtual UCHAR GetID() const;                                   // slot 3
    virtual void GetName(PCHAR buffer, size_t size) const = 0;     // slot 4
    virtual ULONG GetSourceID(ULONG pin) const;                    // slot 5

    EntityKind Kind() const { return kind_; }
    const UCHAR* Descriptor() const { return descriptor_; }
    CUSBAudioCL* Owner() const { return owner_; }
    CUSBAudioEntity* Next() const { return next_; }
    void SetNext(CUSBAudioEntity* next) { next_ = next; }

    bool IsTerminal() const { return kind_ == EntityKind::InputTerminal || kind_ == EntityKind::OutputTerminal; }
    bool IsClock() const { return kind_ == EntityKind::ClockSource || kind_ == EntityKind::ClockSelector; }
    CUSBAudioTerminal* AsTerminal();
    CUSBAudioClock* AsClock();
    CUSBAudioFeatureUnit* AsFeatureUnit();

protected:
    // The single path to the device: a class request to this entity on the
    // audio-control interface. `returned` receives the bytes that came back.
    NTSTATUS EntityRequest(UCHAR bmRequestType, UCHAR bRequest, UCHAR controlSelector, UCHAR channel, USHORT length,
                           PVOID buffer, PULONG returned = nullptr) const;
    // A GET of a parameter block of fixed size. A reply that does not fill
    // the block is no answer (STATUS_UNSUCCESSFUL): what is missing cannot
    // be told apart from a value.
    NTSTATUS GetBlock(UCHAR bRequest, UCHAR controlSelector, UCHAR channel, USHORT length, PVOID buffer) const;
    bool ClassTwo() const;
    // The entity a descriptor byte names, or null.
    CUSBAudioEntity* EntityNamedAt(ULONG offset) const;
    void FormatName(PCHAR buffer, size_t size, const char* kindName) const;

    const UCHAR* descriptor_;
    CUSBAudioCL* owner_;
    CUSBAudioEntity* next_ = nullptr;
    EntityKind kind_;
};

class CUSBAudioDummyUnit : public CUSBAudioEntity {
public:
    CUSBAudioDummyUnit(const UCHAR* descriptor, CUSBAudioCL* owner)
        : CUSBAudioEntity(descriptor, owner, EntityKind::DummyUnit) {}
    NTSTATUS Link() override { return STATUS_SUCCESS; }
    void GetName(PCHAR buffer, size_t size) const override { FormatName(buffer, size, "Dummy"); }
};

class CUSBAudioProcessingUnit : public CUSBAudioEntity {
public:
    CUSBAudioProcessingUnit(const UCHAR* descriptor, CUSBAudioCL* owner)
        : CUSBAudioEntity(descriptor, owner, EntityKind::ProcessingUnit) {}
    NTSTATUS Link() override { return STATUS_NOT_IMPLEMENTED; }
    void GetName(PCHAR buffer, size_t size) const override { FormatName(buffer, size, "Processing"); }
};

// Creates the entity for a class-specific audio-control descriptor, or sets
// `endOfParsing` for the subtypes that end the entity list. Null with
// `endOfParsing` clear when the pool is exhausted.
CUSBAudioEntity* CreateEntity(const UCHAR* descriptor, CUSBAudioCL* owner, bool classTwo, bool* endOfParsing);
