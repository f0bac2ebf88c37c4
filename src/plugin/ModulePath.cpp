#include "plugin/Module.h"
#include "record/FilePath.h"

namespace corvena {

bool Module::libraryFor(const std::string& path, std::string& library, std::string& error) {
    const std::string refused = "could not load " + path;
    // An empty path would open the engine's own executable.
    if (path.empty()) {
        error = refused;
        return false;
    }
    library = path;
    if (filepath::isDirectory(path)) {
        library = bundleLibrary(path);
        if (!filepath::isFile(library)) {
            error = refused + ": the bundle has no " + library.substr(library.find("/Contents/") + 1);
            return false;
        }
    }
    return true;
}

} // namespace corvena
