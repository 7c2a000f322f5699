#include "view_store.h"

#include "registry.h"

#include <cstring>

namespace {

const char VIEW_VALUE[] = "View";        // REG_MULTI_SZ, its lines
const char REQUEST_VALUE[] = "Request";  // REG_SZ "ID WHAT ARGUMENT"

// The driver's Status values that the view shows: the figures among the
// five (the power and the communication are the policy's), then the unit's
// readings, texts as it sent them.
const char* const FIGURE_NAMES[] = {"CommStatus",     "BatteryCapacity", "TotalUPSRuntime", "InputVoltage",
                                    "InputFaultVoltage", "OutputVoltage", "OutputLoad",      "InputFrequency",
                                    "BatteryVoltage", "Temperature",     "StatusFlags"};
const uint32_t FIGURE_COUNT = sizeof FIGURE_NAMES / sizeof FIGURE_NAMES[0];
const uint32_t COMM_GOOD = 1;

// A figure in words: a REG_DWORD's number, a REG_SZ's text; empty for another type.
std::string FigureText(const RegistryValue& value)
{
    if (value.Type == VALUE_DWORD && value.Data.size() == 4) {
        uint32_t number = 0;
        std::memcpy(&number, value.Data.data(), 4);
        return std::to_string(number);
    }
    return value.Type == VALUE_SZ ? Utf16ToUtf8(value.Data) : std::string();
}

}  // namespace

bool WriteView(const ServiceView& view, std::string* error)
{
    std::string bytes = Utf8ToMultiTexts(ViewLines(view));
    return WriteValue(SERVICE_KEY, VIEW_VALUE, REG_MULTI_SZ, bytes.data(), static_cast<DWORD>(bytes.size()), error);
}

void RemoveView()
{
    DeleteValue(SERVICE_KEY, VIEW_VALUE);
    DeleteValue(SERVICE_KEY, REQUEST_VALUE);
}

void ReadFigures(ServiceView* view)
{
    view->FiguresKnown = false;
    view->Figures.clear();
    uint32_t state = view->Policy.State;
    bool answers = state == 1 || state == 2 || state == 4;
    if (view->Policy.Driver != DriverStatus::Running || view->Policy.Network || !answers) {
        return;
    }
    RegistryValues values = ReadValues(STATUS_KEY, FIGURE_NAMES, FIGURE_COUNT);
    auto comm = values.find("CommStatus");
    if (comm == values.end() || FigureText(comm->second) != std::to_string(COMM_GOOD)) {
        return;
    }
    for (uint32_t i = 1; i < FIGURE_COUNT; ++i) {
        auto found = values.find(FIGURE_NAMES[i]);
        std::string text = found == values.end() ? std::string() : FigureText(found->second);
        if (!text.empty()) {
            view->Figures.emplace_back(FIGURE_NAMES[i], text);
        }
    }
    view->FiguresKnown = true;
}

bool TakeRequest(const char* what, uint32_t* id, uint32_t* argument)
{
    // "ID WHAT ARGUMENT", the numbers within 32 bits.
    std::string request = ReadText(SERVICE_KEY, REQUEST_VALUE);
    std::string words[3];
    size_t count = 0;
    for (size_t at = 0; count < 3 && (at = request.find_first_not_of(' ', at)) != std::string::npos; ++count) {
        size_t end = request.find(' ', at);
        words[count] = request.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end;
    }
    uint64_t numbers[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const std::string& word = words[i == 0 ? 0 : 2];
        if (word.empty() || word.size() > 10 || word.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        numbers[i] = std::stoull(word);
    }
    if (count != 3 || words[1] != what || numbers[0] > UINT32_MAX || numbers[1] > UINT32_MAX) {
        return false;
    }
    DeleteValue(SERVICE_KEY, REQUEST_VALUE);
    *id = static_cast<uint32_t>(numbers[0]);
    *argument = static_cast<uint32_t>(numbers[1]);
    return true;
}

bool ReadView(ServiceView* view)
{
    const char* const name = VIEW_VALUE;
    RegistryValues values = ReadValues(SERVICE_KEY, &name, 1);
    auto found = values.find(VIEW_VALUE);
    return found != values.end() && found->second.Type == REG_MULTI_SZ &&
           ParseView(MultiTextsToUtf8(found->second.Data), view);
}

bool WriteRequest(uint32_t id, const char* what, uint32_t argument, std::string* error)
{
    return WriteText(SERVICE_KEY, REQUEST_VALUE, REG_SZ,
                     std::to_string(id) + " " + what + " " + std::to_string(argument), error);
}
