#include "path.h"

#include "aDirectory.h"

std::string BuildPathList(const char *const *components, size_t count) {
    std::string path;
    if (!components || count == 0 || !components[0])
        return path;
    path = components[0];
    // A separator goes in every time, even next to one the components already have.
    for (size_t i = 1; i < count && components[i]; ++i) {
        path += aDIR_PATH_SEP;
        path += components[i];
    }
    return path;
}
