// skwsyscmd.cpp - substitute for the agent's remote-system tool SKWSYSCMD.
//
//   SKWSYSCMD /GETGRP /ALL            the "group" lines of the inventory
//   SKWSYSCMD /GETSYS /ALL            the "list" lines of the inventory
//   SKWSYSCMD /GETSYS /SYSTAG:<hex>   the "attr" lines of that tag
//   SKWSYSCMD /DOPING /SYSTAG:<hex>   a ping; prints one line
//   SKWSYSCMD /BOOTSYS /SYSTAG:<hex>  a reboot; prints a result line
//   SKWSYSCMD /PWRSYS /SYSTAG:<hex>   a power-down; prints a result line
//
// The inventory file (SKW_INVENTORY) holds one output line per line:
//   group <text>          a line of the group listing
//   list <text>           a line of the system listing
//   attr <hex tag> <text> an attribute line of one system
// Blank lines and lines starting with '#' are skipped.
//
// Knobs of its own, besides those of skwtool.h:
//   SKW_RC=TEXT           result line "RC=TEXT" (default RC=0);
//                         "none": no result line
//   SKW_RC_LINE=TEXT      the result line, whole, instead
//   SKW_NOISE=L1|L2|...   lines printed before the result line
//   SKW_DOPING_UNLINK=P   /DOPING deletes the file or symlink P first (to
//                         take the tool off PATH for the next command)
//   SKW_SNAPSHOT=FILE     /BOOTSYS and /PWRSYS copy the credential store
//                         (SKW_CREDSTORE) to FILE as they run
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "skwtool.h"

namespace {

struct Inventory {
    std::vector<std::string> groups;
    std::vector<std::string> listing;
    std::vector<std::pair<unsigned long, std::string>> attributes;
};

bool ReadInventory(const std::string &path, Inventory &inventory)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t space = line.find(' ');
        std::string kind = line.substr(0, space);
        std::string text = space == std::string::npos ? "" : line.substr(space + 1);
        if (kind == "group") {
            inventory.groups.push_back(text);
        } else if (kind == "list") {
            inventory.listing.push_back(text);
        } else if (kind == "attr") {
            size_t gap = text.find(' ');
            unsigned long tag = strtoul(text.substr(0, gap).c_str(), nullptr, 16);
            inventory.attributes.push_back({tag, gap == std::string::npos ? "" : text.substr(gap + 1)});
        }
    }
    return true;
}

// "/SYSTAG:1A" -> true and 0x1A.
bool ParseSystag(const char *arg, unsigned long &tag)
{
    const std::string prefix = "/SYSTAG:";
    std::string text = arg;
    if (text.compare(0, prefix.size(), prefix) != 0 || text.size() == prefix.size())
        return false;
    char *end = nullptr;
    tag = strtoul(text.c_str() + prefix.size(), &end, 16);
    return *end == '\0';
}

std::vector<std::string> RequestAnswer(const char *action, unsigned long tag)
{
    char first[96];
    snprintf(first, sizeof first, "System %lX: %s requested.", tag, action);
    std::vector<std::string> lines = {first};
    for (const std::string &noise : skw::Split(skw::Env("SKW_NOISE"), '|'))
        lines.push_back(noise);
    std::string rc = getenv("SKW_RC") ? skw::Env("SKW_RC") : "0";
    if (getenv("SKW_RC_LINE"))
        lines.push_back(skw::Env("SKW_RC_LINE"));
    else if (rc != "none")
        lines.push_back("RC=" + rc);
    return lines;
}

[[noreturn]] void Usage(const skw::Knobs &knobs)
{
    skw::Answer(knobs, {"SKWSYSCMD: unknown command"}, 2);
}

}  // namespace

int main(int argc, char **argv)
{
    skw::Knobs knobs;
    std::string word = skw::Begin(argc, argv, "SKWSYSCMD: the agent is not answering", &knobs);
    if (argc != 3)
        Usage(knobs);

    std::string arg = argv[2];
    if (word == "/GETGRP" || (word == "/GETSYS" && arg == "/ALL")) {
        Inventory inventory;
        if (arg != "/ALL")
            Usage(knobs);
        if (!ReadInventory(skw::Env("SKW_INVENTORY"), inventory))
            skw::Answer(knobs, {"SKWSYSCMD: no inventory"}, 1);
        skw::Answer(knobs, word == "/GETGRP" ? inventory.groups : inventory.listing, 0);
    }

    unsigned long tag = 0;
    if (!ParseSystag(argv[2], tag))
        Usage(knobs);
    if (word == "/GETSYS") {
        Inventory inventory;
        ReadInventory(skw::Env("SKW_INVENTORY"), inventory);
        std::vector<std::string> lines;
        for (const auto &[attrTag, text] : inventory.attributes)
            if (attrTag == tag)
                lines.push_back(text);
        if (lines.empty()) {
            char missing[64];
            snprintf(missing, sizeof missing, "System %lX not found.", tag);
            skw::Answer(knobs, {missing}, 1);
        }
        skw::Answer(knobs, lines, 0);
    }
    if (word == "/DOPING") {
        std::string unlinkPath = skw::Env("SKW_DOPING_UNLINK");
        std::error_code ignored;
        if (!unlinkPath.empty())
            std::filesystem::remove(unlinkPath, ignored);
        char line[64];
        snprintf(line, sizeof line, "Ping sent to system %lX.", tag);
        skw::Answer(knobs, {line}, 0);
    }
    if (word == "/BOOTSYS" || word == "/PWRSYS") {
        skw::CopyStore(skw::Env("SKW_SNAPSHOT"));
        knobs.snapshotAtEnd = skw::Env("SKW_SNAPSHOT_LAST");
        skw::Answer(knobs, RequestAnswer(word == "/BOOTSYS" ? "reboot" : "power-down", tag), 0);
    }
    Usage(knobs);
}
