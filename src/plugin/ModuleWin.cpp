// The module loader on Windows: a bundle folder (Name.vst3/Contents/x86_64-win/Name.vst3)
// or a module file, loaded with LoadLibraryW from the UTF-8 path. Messages match
// the POSIX loader's for the same cases.
#include "plugin/Module.h"
#include "record/FilePath.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

using namespace Steinberg;

namespace corvena {
namespace {

#if defined(_M_ARM64) || defined(__aarch64__)
constexpr const char* kArchFolder = "arm64-win";
#elif defined(_WIN64)
constexpr const char* kArchFolder = "x86_64-win";
#else
constexpr const char* kArchFolder = "x86-win";
#endif

bool isSeparator(char c) { return c == '/' || c == '\\'; }

} // namespace

// Name.vst3 -> Name.vst3/Contents/<arch>/Name.vst3
std::string Module::bundleLibrary(std::string bundle) {
    while (bundle.size() > 1 && isSeparator(bundle.back()))
        bundle.pop_back();
    const size_t slash = bundle.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? bundle : bundle.substr(slash + 1);
    return bundle + "/Contents/" + kArchFolder + "/" + name;
}

namespace {

// The system's reason for the last failure, in UTF-8, without its closing line end.
std::string lastErrorText() {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, GetLastError(), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = n > 0 && text ? std::wstring(text, n) : std::wstring();
    if (text) LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' '))
        wide.pop_back();
    return filepath::narrow(wide);
}

// As a plain pointer: casts from FARPROC to other function types draw warnings.
void* symbol(void* handle, const char* name) { return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name)); }

} // namespace

Module::Ptr Module::create(const std::string& path, std::string& error) {
    const std::string refused = "could not load " + path;
    std::string library;
    if (!libraryFor(path, library, error))
        return nullptr;
    const std::wstring wide = filepath::widen(library);
    // A bare name would be looked up on the system's search path: take it from
    // the current folder, as the POSIX loader does.
    wchar_t full[MAX_PATH * 4];
    const DWORD fullLength = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), MAX_PATH * 4, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH * 4) {
        error = refused;
        return nullptr;
    }
    // No error dialog for a module whose dependencies are missing: the reason goes into the reply.
    DWORD oldMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE handle = LoadLibraryW(full);
    const std::string reason = handle ? std::string() : lastErrorText();
    SetThreadErrorMode(oldMode, nullptr);
    if (!handle) {
        error = reason.empty() ? refused : refused + ": " + reason;
        return nullptr;
    }

    Ptr module(new Module());
    module->handle_ = handle;
    module->path_ = path;
    module->libraryPath_ = filepath::narrow(full);

    using EntryFn = bool (*)();
    if (auto entry = reinterpret_cast<EntryFn>(symbol(handle, "InitDll"))) {
        if (!entry()) {
            error = "the module's InitDll failed";
            return nullptr; // the destructor frees the library without ExitDll
        }
        module->entered_ = true;
    }

    return module->adoptFactory(symbol(handle, "GetPluginFactory"), error) ? module : nullptr;
}

Module::~Module() {
    factory_ = PluginFactory();
    if (entered_) {
        using ExitFn = bool (*)();
        if (auto exitFn = reinterpret_cast<ExitFn>(symbol(handle_, "ExitDll")))
            exitFn();
    }
    if (handle_)
        FreeLibrary(static_cast<HMODULE>(handle_));
}

} // namespace corvena
