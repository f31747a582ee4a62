// What Windows itself reads of a release program: the version resource
// (through the version API, as Explorer's Properties does), the manifest
// (resource type 24, id 1, and whether Windows accepts it as an activation
// context) and the subsystem in the PE header.
//
//   resource_check PROGRAM NAME gui|console VERSION
//
// Prints one line per value that is not as expected; exit 0 when all are.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

int failures = 0;

void Fail(const std::string &program, const std::string &what)
{
    std::printf("%s: %s\n", program.c_str(), what.c_str());
    ++failures;
}

void Expect(const std::string &program, const std::string &what, const std::string &actual,
            const std::string &expected)
{
    if (actual != expected)
        Fail(program, what + " is \"" + actual + "\", expected \"" + expected + "\"");
}

// "1.0" gives 1, 0, 0, 0: the parts the version numbers of the resource hold.
std::vector<unsigned> VersionParts(const std::string &text)
{
    std::vector<unsigned> parts;
    size_t start = 0;
    while (parts.size() < 4 && start <= text.size()) {
        size_t end = text.find('.', start);
        if (end == std::string::npos)
            end = text.size();
        parts.push_back(std::strtoul(text.substr(start, end - start).c_str(), nullptr, 10));
        start = end + 1;
    }
    parts.resize(4, 0);
    return parts;
}

void CheckVersionInfo(const std::string &program, const std::string &name, const std::string &version)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(program.c_str(), &ignored);
    if (size == 0) {
        Fail(program, "no version resource (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(program.c_str(), 0, size, block.data())) {
        Fail(program, "GetFileVersionInfoA failed");
        return;
    }

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &length) ||
        length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD) {
        Fail(program, "no fixed version information");
    } else {
        std::vector<unsigned> want = VersionParts(version);
        DWORD wantMS = (want[0] << 16) | want[1], wantLS = (want[2] << 16) | want[3];
        if (fixed->dwFileVersionMS != wantMS || fixed->dwFileVersionLS != wantLS)
            Fail(program, "numeric file version differs from " + version);
        if (fixed->dwProductVersionMS != wantMS || fixed->dwProductVersionLS != wantLS)
            Fail(program, "numeric product version differs from " + version);
        if (fixed->dwFileType != VFT_APP)
            Fail(program, "file type is not an application");
    }

    // The strings are found through the first translation, as readers do.
    WORD *translation = nullptr;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(&translation), &length) ||
        length < 2 * sizeof(WORD)) {
        Fail(program, "no translation");
        return;
    }
    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), "\\StringFileInfo\\%04X%04X\\", translation[0],
                  translation[1]);
    auto text = [&](const char *key) -> std::string {
        char *value = nullptr;
        UINT chars = 0;
        std::string path = std::string(prefix) + key;
        if (!VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void **>(&value), &chars) ||
            !value)
            return "(missing)";
        return value;
    };
    std::string description = text("FileDescription");
    if (description == "(missing)" || description.empty())
        Fail(program, "no FileDescription");
    Expect(program, "FileVersion", text("FileVersion"), version);
    Expect(program, "ProductVersion", text("ProductVersion"), version);
    Expect(program, "ProductName", text("ProductName"), "kova");
    Expect(program, "InternalName", text("InternalName"), name);
    Expect(program, "OriginalFilename", text("OriginalFilename"), name + ".exe");
}

void CheckManifest(const std::string &program)
{
    HMODULE module = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        Fail(program, "cannot be loaded as data (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char *bytes = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    if (!bytes) {
        Fail(program, "no manifest (resource type 24, id 1)");
        FreeLibrary(module);
        return;
    }
    std::string manifest(bytes, SizeofResource(module, found));
    FreeLibrary(module);

    size_t trust = manifest.find("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">");
    size_t level =
        manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>");
    size_t trustEnd = manifest.find("</trustInfo>");
    if (trust == std::string::npos || level == std::string::npos || trustEnd == std::string::npos ||
        !(trust < level && level < trustEnd))
        Fail(program, "manifest lacks asInvoker, uiAccess false inside the asm.v3 trustInfo");

    const struct {
        const char *system, *id;
    } systems[] = {
        {"Windows Vista", "{e2011457-1546-43c5-a5fe-008deee3d3f0}"},
        {"Windows 7", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"},
        {"Windows 8", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"},
        {"Windows 8.1", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"},
        {"Windows 10", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"},
    };
    for (const auto &s : systems)
        if (manifest.find(std::string("<supportedOS Id=\"") + s.id + "\"/>") == std::string::npos)
            Fail(program, std::string("manifest does not declare ") + s.system);

    // A manifest Windows cannot parse stops the program from starting.
    ACTCTXA context = {};
    context.cbSize = sizeof(context);
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = program.c_str();
    context.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE activation = CreateActCtxA(&context);
    if (activation == INVALID_HANDLE_VALUE)
        Fail(program, "manifest rejected (error " + std::to_string(GetLastError()) + ")");
    else
        ReleaseActCtx(activation);
}

void CheckSubsystem(const std::string &program, const std::string &kind)
{
    std::ifstream file(program, std::ios::binary);
    std::vector<unsigned char> head(4096);
    file.read(reinterpret_cast<char *>(head.data()), head.size());
    head.resize(file.gcount());
    auto word = [&](size_t at) -> unsigned {
        return at + 2 <= head.size() ? head[at] | head[at + 1] << 8 : 0xFFFF;
    };
    size_t pe = word(0x3C) | word(0x3E) << 16;
    // Subsystem: 68 bytes into the optional header, after the 4-byte
    // signature and the 20-byte file header, in PE32 and PE32+ alike.
    unsigned subsystem = pe < head.size() ? word(pe + 4 + 20 + 68) : 0xFFFF;
    unsigned want = kind == "gui" ? IMAGE_SUBSYSTEM_WINDOWS_GUI : IMAGE_SUBSYSTEM_WINDOWS_CUI;
    if (subsystem != want)
        Fail(program, "subsystem " + std::to_string(subsystem) + ", expected " + kind);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5 || (std::string(argv[3]) != "gui" && std::string(argv[3]) != "console")) {
        std::fprintf(stderr, "usage: resource_check PROGRAM NAME gui|console VERSION\n");
        return 2;
    }
    std::string program = argv[1];
    CheckVersionInfo(program, argv[2], argv[4]);
    CheckManifest(program);
    CheckSubsystem(program, argv[3]);
    if (failures == 0)
        std::printf("%s: version %s, manifest and subsystem as expected\n", program.c_str(), argv[4]);
    return failures == 0 ? 0 : 1;
}
