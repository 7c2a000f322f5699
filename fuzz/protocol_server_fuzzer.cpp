// The network protocol's server fed arbitrary request lines across many
// connections, with opens, closes, time passing and the UPS changing, played
// as the service would (FSD set at a primary account's request). Every reply
// must be one well-formed line, every line of an open connection answered,
// the logins counted right (never negative, NUMLOGINS and LIST CLIENT alike),
// and FSD, once set, must lead every ups.status served.
//
// Input: a flag byte (bit 0: logins served), then operations, each an
// operation byte and a connection byte: operation % 8 is 0-3 a request line
// (the bytes up to the next LF), 4 an open, 5 a close, 6 time passing (the
// next byte times 10 s), 7 a new state of the UPS (the next byte picks it).
// Missing bytes read as zero.
#include "fuzz_input.h"
#include "invariant.h"
#include "protocol_server.h"
#include "protocol_words.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

const char* const REPLY_WORDS[] = {"OK",  "ERR",     "BEGIN",     "END", "VAR", "TYPE",     "DESC",
                                   "UPSDESC", "NUMLOGINS", "UPS", "CLIENT", "OFF", "1.3", "KorvoUPS", "Commands:"};

bool IsReplyWord(const std::string& word)
{
    for (const char* known : REPLY_WORDS) {
        if (word == known) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input{data, size};
    ServerConfig config;
    config.Version = "KorvoUPS 1.0.0";
    config.Accounts = {{"monuser", "secret", false}, {"admin", "top secret", true}};
    config.LoginsServed = (input.Byte() & 1) != 0;
    ServerStart(config);

    const uint32_t STATES[] = {0, 1, 2, 4, 8, 3};
    UpsSnapshot ups;
    ups.Description = "a \"quoted\" \\ description\nwith a line end";
    ups.State = 1;
    ups.Values[SERVED_BATTERY_CHARGE] = "100";
    ups.Values[SERVED_INPUT_VOLTAGE] = "230,0";
    ups.Values[SERVED_DEVICE_TYPE] = "ups";

    uint64_t now = 0;
    std::set<uint64_t> open;
    int64_t logins = 0;
    bool fsdSet = false;
    while (input.size > 0) {
        uint8_t operation = input.Byte();
        uint64_t connection = input.Byte();
        now += 1;
        std::vector<std::string> replies;
        ServerEffects effects;
        bool opened = false;
        switch (operation % 8) {
        case 4: opened = ServerOpen(connection, "10.0.0." + std::to_string(connection), now, &effects); break;
        case 5:
            ServerClose(connection, &effects);
            open.erase(connection);
            break;
        case 6:
            now += uint64_t(input.Byte()) * 10000;
            ServerTick(now, &effects);
            break;
        case 7: {
            uint8_t pick = input.Byte();
            ups.State = STATES[pick % 6];
            ups.Values[SERVED_UPS_LOAD] = pick & 8 ? "12" : "";
            break;
        }
        default: {
            std::string line = input.Line();
            bool wasOpen = open.count(connection) != 0;
            ServerLine(connection, line, ups, now, &replies, &effects);
            std::vector<std::string> words;
            bool split = SplitWords(line, &words);
            CHECK(wasOpen || replies.empty());
            CHECK(!wasOpen || line.size() > MAX_LINE_BYTES || !split || words.empty() || !replies.empty());
            CHECK(!wasOpen || line.size() <= MAX_LINE_BYTES || (replies.size() == 1 && replies[0] == "ERR TOO-LONG"));
            break;
        }
        }
        bool clientList = false;
        int64_t clients = 0;
        for (const std::string& reply : replies) {
            CHECK(!reply.empty());
            for (char c : reply) {
                unsigned char byte = static_cast<unsigned char>(c);
                CHECK(byte >= 0x20 && byte != 0x7F);
            }
            std::vector<std::string> words;
            CHECK(SplitWords(reply, &words));
            CHECK(!words.empty() && IsReplyWord(words[0]));
            CHECK(words[0] != "ERR" || words.size() == 2);
            if (words[0] == "NUMLOGINS") {
                CHECK(words.size() == 3 && words[2] == std::to_string(logins));
            }
            clientList = clientList || (words[0] == "BEGIN" && words.size() > 2 && words[2] == "CLIENT");
            clients += words[0] == "CLIENT";
            if (words[0] == "VAR" && words.size() == 4 && SameWord(words[2], "ups.status") && fsdSet) {
                CHECK(words[3].compare(0, 3, "FSD") == 0);
            }
        }
        CHECK(!clientList || clients == logins);
        for (const ServerEffect& effect : effects) {
            switch (effect.What) {
            case ServerEffect::Login: ++logins; break;
            case ServerEffect::Logout:
            case ServerEffect::LoginLost: --logins; break;
            case ServerEffect::FsdRequested:
                CHECK(config.LoginsServed && effect.Name == "admin");
                // The service's latch: set once, never cleared.
                fsdSet = true;
                ups.Fsd = true;
                break;
            case ServerEffect::Close: open.erase(effect.Connection); break;
            case ServerEffect::Refused: break;
            }
            CHECK(logins >= 0);
        }
        if (opened) {
            open.insert(connection);
        }
        CHECK(config.LoginsServed || logins == 0);
        CHECK(static_cast<int64_t>(ServerLogins().size()) == logins);
        CHECK(open.size() <= MAX_CONNECTIONS);
        CHECK(ServerNextDeadline() > now || operation % 8 != 6);
    }
    return 0;
}
