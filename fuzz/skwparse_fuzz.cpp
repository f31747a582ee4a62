// Feeds the adapter's line scanners with arbitrary tool output.  The first
// line of the input is the MAC address asked for (and the host of the
// credential listing); the rest is cut into lines as ReadTextFgets
// delivers them: at most 511 characters, a piece of a longer line
// being a line of its own.
#include "kovawin.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "skwparse.h"

namespace {

std::vector<std::string> Lines(const uint8_t *data, size_t size)
{
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < size; i++) {
        line += char(data[i] == 0 ? ' ' : data[i]);
        if (data[i] == '\n' || line.size() == SKW_LINE_LEN - 1) {
            lines.push_back(line);
            line.clear();
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> lines = Lines(data, size);
    if (lines.empty())
        return 0;
    std::string mac = lines[0];

    static tListingScan listing;
    static tSystagAndName tagAndName;
    tTagScan tags;
    static tSystemData systemData;
    tSKWPasswordData passwd;
    tCredentialScan credentials;
    char line[SKW_LINE_LEN];

    SKWListingScanStart(&listing, mac.c_str());
    SKWTagScanStart(&tags, mac.c_str());
    SKWCredentialScanStart(&credentials, &passwd, mac.c_str());
    for (size_t i = 1; i < lines.size(); i++) {
        const char *text = lines[i].c_str();
        if (SKWListingScanLine(&listing, text))
            SKWListingScanFill(&listing, &tagAndName);
        SKWTagScanLine(&tags, text);

        int32_t number;
        int inRange;
        SKWParseResultLine(text, &number, &inRange);
        uint32_t tag;
        SKWParseTag(text, 0, &tag);
        SKWParseTag(text, 16, &tag);

        strcpy(line, text);
        SKWAttributeLine(&systemData, line);
        strcpy(line, text);
        SKWCredentialScanLine(&credentials, &passwd, line);
        strcpy(line, text);
        PopulateSystemData(&systemData, line);
        strcpy(line, text);
        SKWPopulatePasswordData(&passwd, line);
    }
    SKWCredentialScanState(&credentials, &passwd, mac.c_str());
    return 0;
}
