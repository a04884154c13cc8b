// Input and output terminals: their terminal type, the clock they run from
// (class 2.0), their source (output terminals), and the connector state.
#pragma once

#include "entity.h"

class CUSBAudioTerminal : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;

    virtual ULONG GetClockSourceID() const = 0;  // slot 6
    virtual USHORT GetControls() const = 0;      // slot 7
    virtual bool HasConnectorControl() const;    // slot 8
    virtual ULONG GetConnectorState() const;     // slot 9: 1 plugged, 0 empty, 0xFFFFFFFF unknown

    USHORT TerminalType() const;
    CUSBAudioEntity* Clock() const { return clock_; }

protected:
    CUSBAudioEntity* clock_ = nullptr;
};

class CUSBAudioInputTerminal : public CUSBAudioTerminal {
public:
    CUSBAudioInputTerminal(const UCHAR* descriptor, CUSBAudioCL* owner)
        : CUSBAudioTerminal(descriptor, owner, EntityKind::InputTerminal) {}
    NTSTATUS Link() override;
    void GetName(PCHAR buffer, size_t size) const override { FormatName(buffer, size, "IT"); }
    ULONG GetClockSourceID() const override;
    USHORT GetControls() const override;
};

class CUSBAudioOutputTerminal : public CUSBAudioTerminal {
public:
    CUSBAudioOutputTerminal(const UCHAR* descriptor, CUSBAudioCL* owner)
        : CUSBAudioTerminal(descriptor, owner, EntityKind::OutputTerminal) {}
    NTSTATUS Link() override;
    void GetName(PCHAR buffer, size_t size) const override { FormatName(buffer, size, "OT"); }
    ULONG GetSourceID(ULONG pin) const override;
    ULONG GetClockSourceID() const override;
    USHORT GetControls() const override;
    CUSBAudioEntity* Source() const { return source_; }

private:
    CUSBAudioEntity* source_ = nullptr;
};

// The names diagnostics print for terminal types ("Unknown" for others).
const char* TerminalTypeName(USHORT terminalType);
