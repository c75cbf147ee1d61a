// Path joining for the application layer.
#ifndef _path_H_
#define _path_H_

#include <cstddef>
#include <string>
#include <type_traits>

// Joins the components with "/" between each two, always inserting one (a/ and b give a//b).
// A null component ends the list.
std::string BuildPathList(const char *const *components, size_t count);

namespace path_detail {
inline const char *component(const char *text) {
    return text;
}
inline const char *component(const std::string &text) {
    return text.c_str();
}
inline const char *component(std::nullptr_t) {
    return nullptr;
}

template <typename T> struct isNull : std::is_same<std::decay_t<T>, std::nullptr_t> {};
template <typename... T> struct lastIsNull : std::false_type {};
template <typename T> struct lastIsNull<T> : isNull<T> {};
template <typename T, typename... Rest>
struct lastIsNull<T, Rest...>
    : std::conditional_t<sizeof...(Rest) == 0, isNull<T>, lastIsNull<Rest...>> {};
} // namespace path_detail

// BuildPath(first, second, ..., nullptr): the list must end with nullptr, checked when compiling.
// Components are C strings or std::string objects.
template <typename... Rest> std::string BuildPath(const char *first, const Rest &...rest) {
    static_assert(sizeof...(Rest) >= 1 && path_detail::lastIsNull<Rest...>::value,
                  "BuildPath: end the component list with nullptr");
    const char *components[] = {first, path_detail::component(rest)...};
    return BuildPathList(components, sizeof...(Rest) + 1);
}
template <typename... Rest> std::string BuildPath(const std::string &first, const Rest &...rest) {
    return BuildPath(first.c_str(), rest...);
}

#endif
