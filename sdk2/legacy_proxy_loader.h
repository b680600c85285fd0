// Run-time binding of a shared library that lies beside this one. Only the
// directory of the file holding this library's own code is searched, so the
// library found is the one shipped with it, never another copy on the
// system's search path.
#ifndef VORLAN_SDK2_LEGACY_PROXY_LOADER_H
#define VORLAN_SDK2_LEGACY_PROXY_LOADER_H

#include <stdexcept>
#include <string>

namespace vorlan_sdk2 {

class ProxyLoader {
public:
    // The library could not be found or loaded; what() is the system's text.
    class ModuleLoadError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    // A function the proxy needs is not in the library; what() names it.
    class SymbolLoadError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    ProxyLoader() = default;
    ProxyLoader(const ProxyLoader&) = delete;
    ProxyLoader& operator=(const ProxyLoader&) = delete;
    // Not virtual: proxies are owned as what they are, never through a base pointer.
    ~ProxyLoader();

    // Binds the functions; throws SymbolLoadError naming the first missing one.
    virtual void LoadSymbols() {}
    // Forgets the bound functions.
    virtual void UnloadSymbols() {}
    // Whether the loaded library can be used at all.
    virtual bool CheckCaps() { return true; }

    // Opens lib<name>.so from this library's directory, falling back to the
    // versioned lib<name>.so.<major> there when the plain file is absent (a
    // runtime installed without the development link). Throws ModuleLoadError,
    // whose text names the file and says what is wrong with it; a file that is
    // not a whole shared object for this process is refused before the
    // system's loader sees it.
    void OpenModule(const std::string& name, const std::string& major_version);
    // Closes the library if it is open. The caller makes sure nothing of it
    // is still running and no bound function is called afterwards.
    void CloseModule();
    bool isOpen() const { return m_module != nullptr; }

    // Empty: its address tells which file holds this library's code.
    static void dummyFunction();

protected:
    // The address of `symbol` in the open library, or null.
    void* findSymbol(const char* symbol) const;

private:
    void* m_module = nullptr;
};

// The directory, with its trailing '/', of the file holding this library's
// code; empty when it cannot be told.
std::string ownDirectory();

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_LEGACY_PROXY_LOADER_H
