// The program's icon as the shell draws it: its frames are stored PNG-compressed
// to keep the executable small, so check that each size still loads and draws
// with its transparency.
#include <gtest/gtest.h>
#include <windows.h>
#include "testsupport.h"

namespace {

constexpr WORD APP_ICON_ID = 100;  // IDI_APP_ICON
constexpr COLORREF BACKGROUND = RGB(255, 255, 255);

struct DataFile {
    HMODULE module;
    explicit DataFile(const std::wstring& path)
        : module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~DataFile() { if (module) FreeLibrary(module); }
};

// The icon drawn at its own size onto a white bitmap, as a screen DC would.
struct DrawnIcon {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    DrawnIcon(HICON icon, int size)
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = size;
        info.bmiHeader.biHeight = size;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        previous = SelectObject(dc, bitmap);
        RECT all = {0, 0, size, size};
        HBRUSH white = CreateSolidBrush(BACKGROUND);
        FillRect(dc, &all, white);
        DeleteObject(white);
        DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    }
    ~DrawnIcon()
    {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    COLORREF At(int x, int y) const { return GetPixel(dc, x, y); }
};

} // namespace

class AppIcon : public ::testing::TestWithParam<int> {};

TEST_P(AppIcon, LoadsAtItsSizeAndDrawsWithTransparentCorners)
{
    const int size = GetParam();
    DataFile exe(WindowsPathFromUnix(SETUP_EXE_PATH));
    ASSERT_NE(nullptr, exe.module);
    HICON icon = static_cast<HICON>(LoadImageW(exe.module, MAKEINTRESOURCEW(APP_ICON_ID), IMAGE_ICON,
                                               size, size, 0));
    ASSERT_NE(nullptr, icon);

    ICONINFO parts = {};
    ASSERT_TRUE(GetIconInfo(icon, &parts));
    BITMAP color = {};
    GetObjectW(parts.hbmColor, sizeof(color), &color);
    EXPECT_EQ(size, color.bmWidth);
    EXPECT_EQ(size, color.bmHeight);
    DeleteObject(parts.hbmColor);
    DeleteObject(parts.hbmMask);

    DrawnIcon drawn(icon, size);
    EXPECT_EQ(BACKGROUND, drawn.At(0, 0)) << "the rounded corner lets the background through";
    EXPECT_NE(BACKGROUND, drawn.At(size / 2, size / 8)) << "the square is drawn";
    DestroyIcon(icon);
}

INSTANTIATE_TEST_SUITE_P(Frames, AppIcon, ::testing::Values(16, 32, 48));
