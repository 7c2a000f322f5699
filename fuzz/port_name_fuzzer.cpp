// The "Port" registry value with any bytes, length and type, present or not,
// through ReadPortName and OpenPort over the test platform.
//
// Input: the value's type, a flag byte (bit 0: no value; bit 1: no key;
// bit 2: the query fails; bit 3: the key does not open), then the value's
// bytes, at most 600 of them. Missing header bytes read as zero.
#include "invariant.h"
#include "serial_link.h"
#include "test_platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>


namespace {

const char SERVICE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS";
const size_t MAX_VALUE_BYTES = 600;

// The empty name is a device too, so that opening it would succeed and show.
const std::string DEVICES[] = {"COM1", "COM12", "\\\\.\\COM3", std::string(259, 'C'), ""};

bool IsDevice(const std::string& name)
{
    for (const std::string& device : DEVICES) {
        if (device == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t type = size > 0 ? data[0] : 0;
    uint8_t flags = size > 1 ? data[1] : 0;
    size_t skip = size < 2 ? size : 2;
    std::string value(reinterpret_cast<const char*>(data) + skip, std::min(size - skip, MAX_VALUE_BYTES));
    bool valuePresent = (flags & 1) == 0;
    bool keyPresent = (flags & 2) == 0;
    bool queryFails = (flags & 4) != 0;
    bool keyFails = (flags & 8) != 0;

    testplatform::Reset();
    for (const std::string& device : DEVICES) {
        testplatform::AddDevice(device);
    }
    if (keyPresent) {
        testplatform::CreateKey(SERVICE_KEY);
        if (valuePresent) {
            testplatform::SetValue(SERVICE_KEY, "Port", type, value);
        }
    }
    if (queryFails) {
        testplatform::FailCall(testplatform::Op::QueryValue);
    }
    if (keyFails) {
        testplatform::FailCall(testplatform::Op::OpenKey);
    }
    // A stale name without a terminator: nothing of it may survive the read.
    std::memset(PortName, 'S', sizeof PortName);

    bool read = ReadPortName();

    // The whole value with room for a terminator, or all 260 bytes with a NUL
    // among them; and a text (REG_SZ or REG_EXPAND_SZ), whatever bytes another
    // type holds.
    bool fits = value.size() < PORT_NAME_BYTES ||
                (value.size() == PORT_NAME_BYTES && value.find('\0') != std::string::npos);
    bool text = type == testplatform::TYPE_SZ || type == testplatform::TYPE_EXPAND_SZ;
    bool readable = keyPresent && !keyFails && valuePresent && !queryFails && fits && text;
    CHECK(read == readable);
    CHECK(std::memchr(PortName, '\0', sizeof PortName) != nullptr);
    CHECK(testplatform::OpenKeys() == 0);
    std::string expected = readable ? std::string(value.c_str()) : std::string();
    CHECK(expected == PortName);

    bool opened = OpenPort();
    CHECK(opened == (IsDevice(expected) && !expected.empty()));
    CHECK(opened == (PortHandle != INVALID_PORT));
    CHECK(testplatform::OpenPorts() == (opened ? 1u : 0u));
    if (expected.empty()) {
        CHECK(testplatform::Calls(testplatform::Op::OpenSerial) == 0);
    }
    if (opened) {
        // The handle is the named device's: what goes out reaches that one.
        CHECK(WritePort("x", 1) == 1);
        CHECK(testplatform::Written(expected) == "x");
    }

    ReleasePort();
    CHECK(PortHandle == INVALID_PORT);
    CHECK(testplatform::OpenPorts() == 0);
    return 0;
}
