// The network protocol's secondary fed arbitrary reply lines between the
// connection's events, time passing and the shutdown's LOGOUT, played as the
// shell would. Every line it sends must be one well-formed request, every
// report valid and made on a change only, FSD reported at most once, time
// never left due, and nothing connected or sent after the LOGOUT.
//
// Input: operations, each an operation byte: operation % 6 is 0 a reply line
// (the bytes up to the next LF), 1 the connection made, 2 the connection
// lost, 3 time passing (the next byte times 100 ms), 4 the shutdown's
// LOGOUT, 5 a well-formed reply (the next byte picks it). Missing bytes read
// as zero.
#include "fuzz_input.h"
#include "invariant.h"
#include "protocol_secondary.h"
#include "protocol_words.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Replies a server gives, to reach the session's later steps.
const char* const REPLIES[] = {
    "OK",
    "OK Goodbye",
    "VAR ups ups.status \"OL\"",
    "VAR ups ups.status \"OB\"",
    "VAR ups ups.status \"OB LB\"",
    "VAR ups ups.status \"FSD OB LB\"",
    "VAR ups battery.charge \"87\"",
    "VAR ups battery.runtime \"1200.5\"",
    "ERR DATA-STALE",
    "ERR ACCESS-DENIED",
    "ERR VAR-NOT-SUPPORTED",
    "ERR UNKNOWN-UPS",
};

bool OneLine(const std::string& text)
{
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input{data, size};
    SecondarySettings settings;
    settings.UpsName = "ups";
    settings.Host = "nas.local";
    settings.User = "mon user";
    settings.Password = "se\"cr\\et";
    settings.PollSeconds = 2;

    enum { None, Connecting, Open } link = None;
    uint64_t now = 0;
    uint32_t state = 0;
    int forcedShutdowns = 0;
    bool loggedOut = false;
    bool logoutSent = false;
    SecondaryActions actions;
    SecondaryStart(settings, now, &actions);
    for (bool first = true; first || input.size > 0; first = false) {
        if (!first) {
            actions.clear();
            uint8_t operation = input.Byte();
            now += 1;
            switch (operation % 6) {
            case 0: SecondaryReply(input.Line(), now, &actions); break;
            case 1:
                // Only a connection asked for is ever made.
                if (link == Connecting) {
                    link = Open;
                    SecondaryConnected(now, &actions);
                }
                break;
            case 2:
                if (link != None) {
                    link = None;
                    SecondaryLost("reset by peer", now, &actions);
                }
                break;
            case 3:
                now += uint64_t(input.Byte()) * 100;
                SecondaryTick(now, &actions);
                CHECK(SecondaryNextDeadline() > now);
                break;
            case 4:
                loggedOut = true;
                SecondaryLogout(now, &actions);
                break;
            default: SecondaryReply(REPLIES[input.Byte() % (sizeof REPLIES / sizeof REPLIES[0])], now, &actions);
            }
        }
        for (const SecondaryAction& action : actions) {
            CHECK(OneLine(action.Text));
            switch (action.What) {
            case SecondaryAction::Connect:
                CHECK(link == None && !loggedOut);
                link = Connecting;
                break;
            case SecondaryAction::Send: {
                CHECK(link == Open);
                CHECK(!action.Text.empty() && action.Text.size() <= MAX_REPLY_LINE_BYTES);
                std::vector<std::string> words;
                CHECK(SplitWords(action.Text, &words) && !words.empty());
                // After the shutdown's LOGOUT, nothing more.
                CHECK(!logoutSent);
                logoutSent = action.Text == "LOGOUT";
                CHECK(!loggedOut || logoutSent);
                break;
            }
            case SecondaryAction::Close:
                CHECK(link != None);
                link = None;
                break;
            case SecondaryAction::State:
                CHECK(action.Code == SECONDARY_ONLINE || action.Code == SECONDARY_ON_BATTERY ||
                      action.Code == SECONDARY_LOW_BATTERY || action.Code == SECONDARY_NO_COMMUNICATION);
                CHECK(action.Code != state);
                CHECK((action.Code == SECONDARY_NO_COMMUNICATION) == !action.Text.empty());
                state = action.Code;
                break;
            case SecondaryAction::ForcedShutdown: CHECK(++forcedShutdowns == 1); break;
            case SecondaryAction::Figures:
                CHECK(!action.Battery.ChargeKnown || action.Battery.ChargePercent <= 100);
                break;
            case SecondaryAction::LoginRefused: CHECK(!action.Text.empty()); break;
            case SecondaryAction::LoginAccepted: break;
            }
        }
        CHECK(OneLine(SecondarySummary(now)));
    }
    return 0;
}
