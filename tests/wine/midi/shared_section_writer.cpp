// A hostile program in another process: loads the MIDI driver's DLL and writes one value into
// every word of its shared data section, as any process that can load the DLL may.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: shared_section_writer <value>\n");
        return 2;
    }
    const LONG value = static_cast<LONG>(std::strtoll(argv[1], nullptr, 0));
    HMODULE driver = LoadLibraryW(L"OvtmMidi.dll");
    if (driver == nullptr) {
        std::printf("OvtmMidi.dll not loaded: %lu\n", GetLastError());
        return 2;
    }
    auto* base = reinterpret_cast<BYTE*>(driver);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    int words = 0;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if ((section->Characteristics & IMAGE_SCN_MEM_SHARED) == 0) {
            continue;
        }
        auto* word = reinterpret_cast<volatile LONG*>(base + section->VirtualAddress);
        const DWORD count = section->Misc.VirtualSize / sizeof(LONG);
        for (DWORD w = 0; w < count; ++w) {
            InterlockedExchange(&word[w], value);
            ++words;
        }
    }
    std::printf("words %d\n", words);
    std::fflush(stdout);
    FreeLibrary(driver);
    return words > 0 ? 0 : 1;
}
