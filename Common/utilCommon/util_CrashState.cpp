#include "util_CrashState.h"
#include "CvComn_SystemLibrary.h"

#include <new>

namespace CrashState {
namespace {

const char* const kDbgHelpNames[kDbgHelpEntryCount] = {"SymGetModuleBase64",
                                                       "SymGetLineFromAddr64",
                                                       "SymFunctionTableAccess64",
                                                       "SymInitialize",
                                                       "SymSetOptions",
                                                       "SymGetOptions",
                                                       "StackWalk64",
                                                       "SymCleanup",
                                                       "SymGetSymFromAddr64",
                                                       "MiniDumpWriteDump",
                                                       "GetTimestampForLoadedLibrary"};

const char* const kPsapiNames[kPsapiEntryCount] = {"EnumProcessModules", "GetModuleFileNameExW",
                                                   "GetModuleBaseNameW"};

template <std::size_t N>
void LoadFunctionTable(std::unique_ptr<FunctionTable<N>>& pTable, const wchar_t* pszModule,
                       const char* const (&names)[N]) {
    if (pTable && pTable->bAvailable)
        return;
    if (!pTable) {
        pTable.reset(new (std::nothrow) FunctionTable<N>());
        if (!pTable)
            return;
    }
    FunctionTable<N>& table = *pTable;
    CvCommon::Handle::UniqueModule loaded;
    HMODULE hModule = ::GetModuleHandleW(pszModule);
    if (!hModule) {
        loaded.reset(CvCommon::SystemLibrary::Load(pszModule));
        hModule = loaded.get();
    }
    bool bAll = hModule != nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        table.pfn[i] = hModule ? ::GetProcAddress(hModule, names[i]) : nullptr;
        if (!table.pfn[i])
            bAll = false;
    }
    if (!bAll) {
        pTable.reset(); // a library loaded here is released with `loaded`
        return;
    }
    const bool bLoadedHere = loaded.valid();
    table.ownedModule = std::move(loaded);
    if (!bLoadedHere) {
        // Found already loaded: pin it, so that nobody's FreeLibrary can take
        // it away before a late fault needs it.
        HMODULE hPinned = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, pszModule, &hPinned);
    }
    table.bAvailable = true;
}

} // namespace

State& Get() {
    // Built in static storage on first use; the pointer is trivially
    // destructible and nothing ever runs the state's destructor.
    alignas(State) static unsigned char s_storage[sizeof(State)];
    static State* const s_pState = new (s_storage) State();
    return *s_pState;
}

void LoadDbgHelp(State& s) {
    LoadFunctionTable(s.pDbgHelp, L"Dbghelp.dll", kDbgHelpNames);
}

void LoadPsapi(State& s) {
    LoadFunctionTable(s.pPsapi, L"PSAPI.DLL", kPsapiNames);
}

} // namespace CrashState
