// Apart from the window's files: the layer's members carry the names that <windows.h> redefines.
#include "WindowOsApi.h"

#include <string>
#include <utility>

#include "Win32OsApi.h"

namespace {

class RoutedOsApi final : public Win32OsApi {
public:
    void MessageBox(const std::string& text) override {
        if (show) {
            show(text);
        } else {
            Win32OsApi::MessageBox(text);
        }
    }
    std::function<void(const std::string&)> show;
};

RoutedOsApi& Routed() {
    static RoutedOsApi os;
    return os;
}

}  // namespace

OsApi& WindowOsApi() { return Routed(); }

void RouteBoxesToWindow(std::function<void(const std::string&)> show) { Routed().show = std::move(show); }
