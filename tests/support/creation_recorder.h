// Records the arguments of every window creation on this thread while it
// lives, as a CBT hook sees them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The arguments CreateWindowExW was given, as the CBT hook sees them.
struct Creation {
    HWND window;
    std::wstring className;
    DWORD style;
    DWORD exStyle;
    int x;
    int y;
    intptr_t menu;
};

class CreationRecorder {
public:
    CreationRecorder() {
        sink_ = &creations_;
        hook_ = SetWindowsHookExW(WH_CBT, Hook, nullptr, GetCurrentThreadId());
    }
    ~CreationRecorder() {
        UnhookWindowsHookEx(hook_);
        sink_ = nullptr;
    }
    Creation Of(HWND window) const {
        for (const Creation& creation : creations_)
            if (creation.window == window) return creation;
        ADD_FAILURE() << "no creation seen";
        return Creation{};
    }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        if (code == HCBT_CREATEWND && sink_) {
            const CREATESTRUCTW* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
            wchar_t className[64] = L"";
            GetClassNameW(reinterpret_cast<HWND>(wParam), className, 64);
            sink_->push_back(Creation{reinterpret_cast<HWND>(wParam), className, static_cast<DWORD>(create->style),
                                      create->dwExStyle, create->x, create->y,
                                      reinterpret_cast<intptr_t>(create->hMenu)});
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline std::vector<Creation>* sink_ = nullptr;
    std::vector<Creation> creations_;
    HHOOK hook_;
};
