#include "runner/klRunner.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

namespace Kiln::Runner {

namespace {

constexpr size_t kMaxScriptNames = 100000;

std::string dlText()
{
    const char* e = dlerror();
    return e ? e : "unknown dynamic loader error";
}

// dlsym on a handle also searches the libraries the module depends on; only symbols defined by the
// module's own file count.
const void* ownSymbol(void* handle, const char* name)
{
    dlerror();
    void* sym = dlsym(handle, name);
    if (!sym) return nullptr;
    struct link_map* own = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 || !own) return nullptr;
    Dl_info info{};
    struct link_map* where = nullptr;
    if (!dladdr1(sym, &info, reinterpret_cast<void**>(&where), RTLD_DL_LINKMAP) || where != own)
        return nullptr;
    return sym;
}

// dlopen hands out one handle per file however often it is loaded; so does this.
std::shared_ptr<std::recursive_mutex> callMutexOf(void* handle)
{
    static std::mutex registryMutex;
    static std::map<void*, std::weak_ptr<std::recursive_mutex>> registry;
    std::lock_guard<std::mutex> lock(registryMutex);
    std::shared_ptr<std::recursive_mutex> m = registry[handle].lock();
    if (!m) {
        m = std::make_shared<std::recursive_mutex>();
        registry[handle] = m;
    }
    return m;
}

}  // namespace

std::unique_ptr<Module> Module::load(const std::string& path)
{
    const std::string where = "Kiln::Runner::Module::load: ";
    struct stat st { };
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        throw RunnerError(where + "module file \"" + path + "\" does not exist");
    if (!S_ISREG(st.st_mode)) throw RunnerError(where + "\"" + path + "\" is not a file");

    char resolved[PATH_MAX];
    const std::string full = ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;

    dlerror();
    void* handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw RunnerError(where + "\"" + path + "\" is not a loadable module: " + dlText());

    std::unique_ptr<Module> m(new Module);
    m->handle_ = handle;  // closed by ~Module on every failure below
    m->path_ = full;
    m->callMutex_ = callMutexOf(handle);

    auto reg = static_cast<const KlRegistration*>(ownSymbol(handle, KL_REGISTRATION_SYMBOL));
    const char* entryName = reg && reg->entry_point && *reg->entry_point ? reg->entry_point : "main";
    const void* entry = ownSymbol(handle, entryName);
    if (!entry)
        throw RunnerError(where + "module \"" + path + "\" exports no entry point `" + entryName + "`");
    if (!reg)
        throw RunnerError(where + "module \"" + path +
                          "\" has no registration record `" KL_REGISTRATION_SYMBOL "`");
    if (reg->kind != KL_FOURCC('e', 'F', 'K', 'T'))
        throw RunnerError(where + "the registration record of \"" + path + "\" is not of kind eFKT");
    m->registration_ = reg;
    m->entry_ = reinterpret_cast<PF_EntryFunc>(const_cast<void*>(entry));

    // Optional lists of texts, one per parameter index, ended by a null pointer.
    const auto texts = [&](const char* symbol, const char* what, std::vector<std::string>& into) {
        if (auto list = static_cast<const char* const*>(ownSymbol(handle, symbol))) {
            for (size_t i = 0; list[i]; ++i) {
                if (i >= kMaxScriptNames)
                    throw RunnerError(where + "the " + what + " list of \"" + path +
                                      "\" has no terminating null");
                into.emplace_back(list[i]);
            }
        }
    };
    texts(KL_SCRIPT_NAMES_SYMBOL, "script-name", m->scriptNames_);
    texts(KL_DESCRIPTIONS_SYMBOL, "description", m->descriptions_);
    return m;
}

Module::~Module()
{
    if (handle_) dlclose(handle_);
}

}  // namespace Kiln::Runner
