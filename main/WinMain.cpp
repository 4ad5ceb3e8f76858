// Program entry of the Windows updater, and its process-wide objects.
#include <windows.h>
#include <commctrl.h>

#include <exception>

#include "EmbeddedContainer.h"
#include "Kfs.h"
#include "Main.h"
#include "OsApi.h"
#include "TAtapi.h"
#include "Win32Window.h"

// Created in this order before the entry runs, released in reverse order at
// exit: the drive-access object finds the drives before any window exists.
TAtapi Atapi(SystemOsApi());
SKFSParameter KFSParameter;
TMainW* MainW = nullptr;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    try {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);

        Win32MainWindow window(instance);
        TMainW form(window, Atapi, KFSParameter, EmbeddedContainerData(), EmbeddedContainerSize());
        window.SetHandlers({[&form] { form.cbbDeviceChange(); }, [&form] { form.btnStartClick(); }});
        MainW = &form;
        window.Create();
        form.FormCreate();
        window.Show(showCommand);
        window.Run();
        MainW = nullptr;
    } catch (const std::exception& error) {
        MainW = nullptr;
        ShowExceptionBox(nullptr, error.what());
    } catch (...) {
        MainW = nullptr;
        ShowExceptionBox(nullptr, "");
    }
    return 0;
}
