// The accessibility access layer (placeholder until its issue lands).
#include "utils.h"

namespace korvale {

AXObserverRef observer;

template <typename T>
std::optional<T> axValueToNative(const ObjectRef&) { return std::nullopt; }
template <typename T>
std::optional<T> getAttributeValue(const ElementRef&, const std::string&) { return std::nullopt; }
template <typename T>
std::optional<T> getParameterizedAttributeValue(const ElementRef&, const std::string&, const ObjectRef&) {
    return std::nullopt;
}

#define KORVALE_INSTANTIATE(T)                                                                    \
    template std::optional<T> axValueToNative<T>(const ObjectRef&);                               \
    template std::optional<T> getAttributeValue<T>(const ElementRef&, const std::string&);        \
    template std::optional<T> getParameterizedAttributeValue<T>(const ElementRef&,                \
                                                                const std::string&, const ObjectRef&);
KORVALE_INSTANTIATE(std::string)
KORVALE_INSTANTIATE(int64_t)
KORVALE_INSTANTIATE(CGPoint)
KORVALE_INSTANTIATE(CGRect)
KORVALE_INSTANTIATE(CFRange)
KORVALE_INSTANTIATE(ElementRef)
KORVALE_INSTANTIATE(TextMarkerRangeRef)

}  // namespace korvale

namespace korvale {
void setNotification(const ElementRef&, int32_t, const std::string&, AXObserverCallback, MacAccessibility*) {}
void forgetRegistrations() {}
}  // namespace korvale
