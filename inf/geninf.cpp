/*
 * Writes zatac97.inf from zatac97.inf.in: the hardware id from the build's PCI
 * ids, and one MediaCategories registration per private name the mixer uses,
 * straight from the topology's own name table. Runs on the build machine.
 *
 *   zatac97-geninf TEMPLATE OUTPUT
 */
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "topology/names.h"

namespace {

std::string GuidText(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

/* INF string values are 8-bit text here; the names are plain ASCII by design. */
bool AsciiText(PCWSTR wide, std::string &text)
{
    text.clear();
    for (; *wide; ++wide) {
        if (*wide < 0x20 || *wide > 0x7E || *wide == L'"' || *wide == L'%')
            return false;
        text += static_cast<char>(*wide);
    }
    return !text.empty();
}

/* "Microphone Boost" -> "MicrophoneBoost": the string key the INF uses for it. */
std::string KeyOf(const std::string &displayName)
{
    std::string key;
    for (char c : displayName)
        if (std::isalnum(static_cast<unsigned char>(c)))
            key += c;
    return key;
}

std::string HardwareId()
{
    char text[32];
    std::snprintf(text, sizeof text, "PCI\\VEN_%04X&DEV_%04X", static_cast<unsigned>(ZATAC97_VENDOR_ID) & 0xFFFF,
                  static_cast<unsigned>(ZATAC97_DEVICE_ID) & 0xFFFF);
    return text;
}

struct Generated {
    std::string AddReg;
    std::string Strings;
};

bool GenerateNames(Generated &out)
{
    std::set<std::string> keys, guids;
    for (const TOPOLOGY_DISPLAY_NAME &row : TopologyDisplayNames) {
        std::string display;
        const std::string guid = GuidText(*row.Name);
        if (!AsciiText(row.DisplayName, display)) {
            std::cerr << "geninf: the display name of " << guid << " is not plain printable ASCII\n";
            return false;
        }
        const std::string key = KeyOf(display);
        if (!keys.insert(key).second || !guids.insert(guid).second) {
            std::cerr << "geninf: \"" << display << "\" (" << guid << ") repeats a name or a GUID\n";
            return false;
        }
        out.AddReg += "HKLM,%MediaCategories%\\%GUID." + key + "%,Name,,%Name." + key + "%\n";
        out.Strings += "GUID." + key + "=\"" + guid + "\"\n";
        out.Strings += "Name." + key + "=\"" + display + "\"\n";
    }
    return true;
}

void Replace(std::string &text, const std::string &marker, const std::string &value)
{
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size()))
        text.replace(at, marker.size(), value);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: zatac97-geninf TEMPLATE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "geninf: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();

    Generated names;
    if (!GenerateNames(names))
        return 1;
    /* A marker that must stand on a line of its own ends with its newline. */
    Replace(text, "@MEDIA_CATEGORIES_ADDREG@\n", names.AddReg);
    Replace(text, "@MEDIA_CATEGORIES_STRINGS@\n", names.Strings);
    Replace(text, "@HARDWARE_ID@", HardwareId());
    if (text.find('@') != std::string::npos) {
        std::cerr << "geninf: " << argv[1] << " has a marker left unreplaced\n";
        return 1;
    }

    /* Setup reads an INF as lines ending in CR LF. */
    std::string crlf;
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    std::ofstream out(argv[2], std::ios::binary);
    out << crlf;
    if (!out.flush()) {
        std::cerr << "geninf: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
