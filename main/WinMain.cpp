// Program entry of the Windows updater, and its process-wide objects.
#include <windows.h>
#include <commctrl.h>

#include <exception>
#include <functional>

#include "EmbeddedContainer.h"
#include "Kfs.h"
#include "Main.h"
#include "OsApi.h"
#include "TAtapi.h"
#include "Win32Window.h"
#include "WindowOsApi.h"

// Created in this order before the entry runs, released in reverse order at
// exit: the drive-access object finds the drives before any window exists.
TAtapi Atapi(WindowOsApi());
SKFSParameter KFSParameter;
TMainW* MainW = nullptr;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    try {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);

        Win32MainWindow window(instance);
        TMainW form(window, Atapi, KFSParameter, EmbeddedContainerData(), EmbeddedContainerSize());
        window.SetHandlers({[&form] { form.cbbDeviceChange(); }, [&form] { form.btnStartClick(); },
                            [&form] {
                                bool canClose = true;
                                form.FormCloseQuery(nullptr, canClose);
                                return canClose;
                            }});
        MainW = &form;
        window.Create();
        RouteBoxesToWindow([&window](const std::string& text) { window.ShowSystemError(text); });
        form.FormCreate();
        window.Show(showCommand);
        window.Run();
        RouteBoxesToWindow(nullptr);
        MainW = nullptr;
    } catch (const std::exception& error) {
        RouteBoxesToWindow(nullptr);
        MainW = nullptr;
        ShowExceptionBox(nullptr, error.what());
    } catch (...) {
        RouteBoxesToWindow(nullptr);
        MainW = nullptr;
        ShowExceptionBox(nullptr, "");
    }
    return 0;
}
