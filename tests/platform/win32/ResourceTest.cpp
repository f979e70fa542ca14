// Resources compiled into program and DLL images and found through their module handles: strings,
// dialog templates with their combo lists, bitmaps, icons and cursors, each process finding its
// own images' copies.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/Verifier.h"
#include "platform/win32/ImageObjects.h"
#include "platform/win32/include/windows.h"
#include "platform/win32/include/winres.h"
#include "tests/platform/win32/TestMachine.h"
#include "tests/platform/win32/images/ProbeResources.h"

namespace {

using w32test::Machine;

// In a probe program started with "wait": lets it return from WinMain.
void Quit() {
  std::string quit = "ProbeProgramQuit" + std::to_string(GetCurrentProcessId());
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, quit.c_str());
  SetEvent(event);
  CloseHandle(event);
}

// Runs `body` in a running probe program, then lets the program end.
void InProgram(Machine& m, const std::function<void()>& body) {
  void* p = m.StartProgram("ProbeProgram.exe", "ProbeProgram.exe wait", 64);
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(m.RunIn(p, [&] {
    body();
    Quit();
  }));
  m.Wait(p);
  EXPECT_EQ(m.ExitCode(p), 0u);
  m.Release(p);
}

const void* Locked(HMODULE module, WORD id, LPCSTR type, DWORD* size = nullptr) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), type);
  if (found == nullptr) return nullptr;
  if (size != nullptr) *size = SizeofResource(module, found);
  return LockResource(LoadResource(module, found));
}

std::string String(HMODULE module, UINT id) {
  char text[64];
  int n = LoadStringA(module, id, text, sizeof text);
  return std::string(text, n > 0 ? n : 0);
}

const plat::win32::ImageObject& Object(HANDLE handle) {
  static const plat::win32::ImageObject none{};
  const plat::win32::ImageObject* object = plat::win32::ImageObjectOf(handle);
  EXPECT_NE(object, nullptr);
  return object != nullptr ? *object : none;
}

int32_t DibWord(const std::vector<uint8_t>& dib, size_t offset, size_t width) {
  int32_t v = 0;
  if (dib.size() >= offset + width) std::memcpy(&v, dib.data() + offset, width);
  return v;
}

TEST(Resources, TheProgramAndADllEachFindTheirOwnThroughTheirModuleHandles) {
  Machine m;
  InProgram(m, [] {
    HMODULE program = GetModuleHandleA(nullptr);
    HMODULE library = LoadLibraryA("ProbeLibrary.dll");
    ASSERT_NE(library, nullptr);
    struct Case {
      const char* what;
      HMODULE module;
      const char* title;
      const char* caption;
      size_t items;
      std::vector<std::vector<std::string>> combos;
      int32_t bitmapWidth, bitmapHeight, bitmapBits;
      size_t bitmapSize;  // the .bmp file less its 14-byte header
    } cases[] = {
        {"null module", nullptr, "QX-5310 Control Panel", "Settings", 16,
         {{"QX-5310 Native", "Mackie Control Emulation", "HUI Emulation"}, {"44100", "48000", "88200", "96000"}},
         8, 6, 24, 198 - 14},
        {"program", program, "QX-5310 Control Panel", "Settings", 16,
         {{"QX-5310 Native", "Mackie Control Emulation", "HUI Emulation"}, {"44100", "48000", "88200", "96000"}},
         8, 6, 24, 198 - 14},
        {"library", library, "Probe library", "Library page", 2, {{"32000"}}, 4, 4, 8, 86 - 14},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(String(c.module, probe::kTitleString), c.title);

      DWORD size = 0;
      auto* page = static_cast<const DIALOG_RESOURCE*>(Locked(c.module, probe::kPage, RT_DIALOG, &size));
      ASSERT_NE(page, nullptr);
      EXPECT_EQ(size, sizeof(DIALOG_RESOURCE));
      EXPECT_STREQ(page->caption, c.caption);
      EXPECT_EQ(page->items.size(), c.items);
      std::vector<std::vector<std::string>> combos;
      for (const DIALOG_COMBO_LIST& list : page->combos) combos.emplace_back(list.strings.begin(), list.strings.end());
      EXPECT_EQ(combos, c.combos);

      auto* dib = static_cast<const uint8_t*>(Locked(c.module, probe::kLogo, RT_BITMAP, &size));
      ASSERT_NE(dib, nullptr);
      EXPECT_EQ(size, c.bitmapSize) << "the DIB: header, colour table, bits";
      EXPECT_EQ(DibWord({dib, dib + size}, 0, 4), 40) << "BITMAPINFOHEADER";
      EXPECT_EQ(DibWord({dib, dib + size}, 14, 2), c.bitmapBits);
      // A gdi32 bitmap, mono only for a 1-bit DIB.
      HBITMAP bitmap = LoadBitmapA(c.module != nullptr ? c.module : program, MAKEINTRESOURCEA(probe::kLogo));
      BITMAP bm{};
      ASSERT_EQ(GetObjectA(bitmap, sizeof bm, &bm), static_cast<int>(sizeof bm));
      EXPECT_EQ(bm.bmWidth, c.bitmapWidth);
      EXPECT_EQ(bm.bmHeight, c.bitmapHeight);
      EXPECT_EQ(bm.bmBitsPixel, c.bitmapBits == 1 ? 1 : 32);
      EXPECT_EQ(plat::win32::ImageObjectOf(bitmap), nullptr) << "no user32 image";
      EXPECT_TRUE(DeleteObject(bitmap));

      EXPECT_NE(FindResourceA(c.module, MAKEINTRESOURCEA(probe::kAppIcon), RT_GROUP_ICON), nullptr);
      HICON icon = LoadIconA(c.module != nullptr ? c.module : program, MAKEINTRESOURCEA(probe::kAppIcon));
      EXPECT_EQ(Object(icon).kind, plat::win32::ImageKind::Icon);
      EXPECT_EQ(Object(icon).width, 32);
      EXPECT_EQ(Object(icon).height, 32);
    }
    EXPECT_TRUE(FreeLibrary(library));
  });
}

// What the page's procedure found at WM_INITDIALOG: each combo's strings, and each picture
// static's client size.
std::vector<std::vector<std::string>> gInitCombos;
std::vector<SIZE> gInitPictures;

INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  for (int id : {probe::kProtocolCombo, probe::kRateCombo}) {
    std::vector<std::string> strings;
    for (LRESULT i = 0, n = SendDlgItemMessageA(page, id, CB_GETCOUNT, 0, 0); i < n; ++i) {
      char text[64] = {};
      SendDlgItemMessageA(page, id, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
      strings.emplace_back(text);
    }
    gInitCombos.push_back(strings);
  }
  for (int id : {probe::kLogoStatic, probe::kIconStatic}) {
    RECT r{};
    GetClientRect(GetDlgItem(page, id), &r);
    gInitPictures.push_back(SIZE{r.right, r.bottom});
  }
  return TRUE;
}

TEST(Resources, APageMadeFromTheProgramsTemplateHasItsSortedComboListsAndPicturesAtTheirSizeBeforeInit) {
  Machine m;
  gInitCombos.clear();
  gInitPictures.clear();
  InProgram(m, [] {
    HWND parent = CreateWindowExA(0, "Static", "Sheet", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
    HWND page = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(probe::kPage), parent, PageProc, 0);
    EXPECT_NE(page, nullptr);
    DestroyWindow(parent);
  });
  EXPECT_EQ(gInitCombos, (std::vector<std::vector<std::string>>{
                             {"HUI Emulation", "Mackie Control Emulation", "QX-5310 Native"},
                             {"44100", "48000", "88200", "96000"}}))
      << "the protocol combo sorts (CBS_SORT), the rate combo keeps the template's order";
  ASSERT_EQ(gInitPictures.size(), 2u);
  EXPECT_EQ(gInitPictures[0].cx, 8) << "the bitmap static takes its picture's size";
  EXPECT_EQ(gInitPictures[0].cy, 6);
  EXPECT_EQ(gInitPictures[1].cx, 32) << "and the icon static its icon's";
  EXPECT_EQ(gInitPictures[1].cy, 32);
}

TEST(Resources, MissingTypesNamesAndStringsFailWithWindowsErrors) {
  Machine m;
  InProgram(m, [] {
    HMODULE library = LoadLibraryA("ProbeLibrary.dll");
    HMODULE plain = LoadLibraryA("LoaderProbe.dll");
    struct Case {
      const char* what;
      HMODULE module;
      LPCSTR name;
      LPCSTR type;
      DWORD error;  // ERROR_SUCCESS: found
    } cases[] = {
        {"a dialog by its ordinal", nullptr, MAKEINTRESOURCEA(probe::kPage), RT_DIALOG, ERROR_SUCCESS},
        {"a dialog by \"#106\"", nullptr, "#106", RT_DIALOG, ERROR_SUCCESS},
        {"a type by \"#5\"", nullptr, "#106", "#5", ERROR_SUCCESS},
        {"a missing dialog", nullptr, MAKEINTRESOURCEA(999), RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"a name that is no ordinal", nullptr, "SETTINGS", RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"a missing type", nullptr, MAKEINTRESOURCEA(probe::kPage), RT_MENU, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"a type by a string name", nullptr, MAKEINTRESOURCEA(probe::kPage), "PNG", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"an icon group's id as an icon", nullptr, MAKEINTRESOURCEA(probe::kAppIcon), RT_ICON,
         ERROR_RESOURCE_NAME_NOT_FOUND},
        {"the icon images, numbered from 1", nullptr, MAKEINTRESOURCEA(2), RT_ICON, ERROR_SUCCESS},
        {"the second string table", nullptr, MAKEINTRESOURCEA(2), RT_STRING, ERROR_SUCCESS},
        {"a string table by a string's id", nullptr, MAKEINTRESOURCEA(probe::kTitleString), RT_STRING,
         ERROR_RESOURCE_NAME_NOT_FOUND},
        {"the program's cursor in the library", library, MAKEINTRESOURCEA(probe::kLinkCursor), RT_GROUP_CURSOR,
         ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"an image without resources", plain, MAKEINTRESOURCEA(probe::kPage), RT_DIALOG,
         ERROR_RESOURCE_DATA_NOT_FOUND},
        {"a handle of no image", reinterpret_cast<HMODULE>(0x1000), MAKEINTRESOURCEA(1), RT_DIALOG,
         ERROR_MOD_NOT_FOUND},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      SetLastError(ERROR_SUCCESS);
      HRSRC found = FindResourceA(c.module, c.name, c.type);
      EXPECT_EQ(found != nullptr, c.error == ERROR_SUCCESS);
      EXPECT_EQ(GetLastError(), c.error);
    }

    struct StringCase {
      UINT id;
      int buffer;
      int returned;
      const char* text;
      DWORD error;
    } strings[] = {
        {probe::kTitleString, 64, 21, "QX-5310 Control Panel", ERROR_SUCCESS},
        {probe::kTitleString, 4, 3, "QX-", ERROR_SUCCESS},  // three characters and a NUL
        {probe::kTitleString, 1, 0, "", ERROR_SUCCESS},
        {probe::kTitleString, 22, 21, "QX-5310 Control Panel", ERROR_SUCCESS},
        {probe::kTitleString, 21, 20, "QX-5310 Control Pane", ERROR_SUCCESS},
        {probe::kSecondTableString, 64, 12, "second table", ERROR_SUCCESS},
        {4, 64, 0, "", ERROR_RESOURCE_NAME_NOT_FOUND},    // an empty slot of the first table
        {40, 64, 0, "", ERROR_RESOURCE_NAME_NOT_FOUND},   // no third table
    };
    for (const StringCase& c : strings) {
      SCOPED_TRACE(std::to_string(c.id) + " into " + std::to_string(c.buffer));
      char text[64];
      std::memset(text, 'x', sizeof text);
      SetLastError(ERROR_SUCCESS);
      EXPECT_EQ(LoadStringA(nullptr, c.id, text, c.buffer), c.returned);
      EXPECT_STREQ(text, c.text) << "terminated";
      EXPECT_EQ(GetLastError(), c.error);
    }
    FreeLibrary(plain);
    FreeLibrary(library);
  });
}

TEST(Resources, TwoProcessesOfOneProgramFindTheirOwnCopies) {
  Machine m;
  void* programs[] = {m.StartProgram("ProbeProgram.exe", "ProbeProgram.exe wait", 64),
                      m.StartProgram("ProbeProgram.exe", "ProbeProgram.exe wait", 64)};
  const void* pages[2] = {};
  HMODULE modules[2] = {};
  for (int i = 0; i < 2; ++i)
    ASSERT_TRUE(m.RunIn(programs[i], [&, i] {
      modules[i] = GetModuleHandleA(nullptr);
      pages[i] = Locked(nullptr, probe::kPage, RT_DIALOG);
      EXPECT_EQ(String(nullptr, probe::kTitleString), "QX-5310 Control Panel");
    }));
  EXPECT_NE(modules[0], modules[1]);
  EXPECT_NE(pages[0], nullptr);
  EXPECT_NE(pages[0], pages[1]) << "each process's mapping of the image";
  for (void* p : programs) {
    m.RunIn(p, Quit);
    m.Wait(p);
    m.Release(p);
  }
}

TEST(Resources, IconsAndCursorsPickTheirImageAndSharedLoadsGiveOneHandle) {
  Machine m;
  InProgram(m, [] {
    HINSTANCE self = GetModuleHandleA(nullptr);
    LPCSTR icon = MAKEINTRESOURCEA(probe::kAppIcon);
    struct Case {
      int cx, cy;
      UINT flags;
      int32_t width, height, bits;  // the object's size, and its image's colour depth
    } cases[] = {
        {0, 0, LR_DEFAULTSIZE, 32, 32, 32},
        {16, 16, 0, 16, 16, 4},
        {20, 20, 0, 20, 20, 4},   // the nearest image, drawn at the size asked for
        {48, 48, 0, 48, 48, 32},
        {0, 0, 0, 16, 16, 4},     // the group's first image at its own size
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.cx) + " x " + std::to_string(c.cy));
      HANDLE loaded = LoadImageA(self, icon, IMAGE_ICON, c.cx, c.cy, c.flags);
      const auto& object = Object(loaded);
      EXPECT_EQ(object.width, c.width);
      EXPECT_EQ(object.height, c.height);
      EXPECT_EQ(DibWord(object.dib, 14, 2), c.bits);
      EXPECT_FALSE(object.shared);
      EXPECT_TRUE(DestroyIcon(static_cast<HICON>(loaded)));
      EXPECT_EQ(plat::win32::ImageObjectOf(loaded), nullptr) << "destroyed";
    }

    HICON first = LoadIconA(self, icon);
    EXPECT_EQ(LoadIconA(self, "#162"), first) << "one shared icon";
    EXPECT_TRUE(DestroyIcon(first));
    EXPECT_NE(plat::win32::ImageObjectOf(first), nullptr) << "a shared icon stays";

    HCURSOR cursor = LoadCursorA(self, MAKEINTRESOURCEA(probe::kLinkCursor));
    const auto& object = Object(cursor);
    EXPECT_EQ(object.kind, plat::win32::ImageKind::Cursor);
    EXPECT_EQ(object.hotspotX, 5);
    EXPECT_EQ(object.hotspotY, 7);
    EXPECT_EQ(object.width, 32);
    EXPECT_EQ(DibWord(object.dib, 0, 4), 40) << "the image after the hot spot";

    HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
    EXPECT_NE(arrow, nullptr);
    EXPECT_EQ(LoadCursorA(nullptr, IDC_ARROW), arrow) << "the system's cursor";
    EXPECT_TRUE(Object(arrow).system);
    EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);

    struct Failure {
      const char* what;
      std::function<HANDLE()> load;
      DWORD error;
    } failures[] = {
        {"a system cursor that does not exist", [] { return LoadCursorA(nullptr, MAKEINTRESOURCEA(1)); },
         ERROR_RESOURCE_NAME_NOT_FOUND},
        {"a missing bitmap", [&] { return LoadBitmapA(self, MAKEINTRESOURCEA(999)); }, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"an icon where there are none", [&] { return LoadIconA(self, MAKEINTRESOURCEA(probe::kLogo)); },
         ERROR_RESOURCE_NAME_NOT_FOUND},
        {"an image from a file", [&] { return LoadImageA(self, "probe.bmp", IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE); },
         ERROR_NOT_SUPPORTED},
        {"an image of no type", [&] { return LoadImageA(self, icon, 3, 0, 0, 0); }, ERROR_INVALID_PARAMETER},
    };
    for (const Failure& f : failures) {
      SCOPED_TRACE(f.what);
      SetLastError(ERROR_SUCCESS);
      EXPECT_EQ(f.load(), nullptr);
      EXPECT_EQ(GetLastError(), f.error);
    }
    HBITMAP bitmap = LoadBitmapA(self, MAKEINTRESOURCEA(probe::kLogo));
    ASSERT_NE(bitmap, nullptr);
    EXPECT_FALSE(DestroyIcon(reinterpret_cast<HICON>(bitmap)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ICON_HANDLE);
    EXPECT_FALSE(DestroyCursor(reinterpret_cast<HCURSOR>(bitmap)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_CURSOR_HANDLE);
    HANDLE shared = LoadImageA(self, MAKEINTRESOURCEA(probe::kLogo), IMAGE_BITMAP, 0, 0, LR_SHARED);
    EXPECT_EQ(LoadImageA(self, MAKEINTRESOURCEA(probe::kLogo), IMAGE_BITMAP, 0, 0, LR_SHARED), shared);
    EXPECT_TRUE(DeleteObject(shared));
    BITMAP bm{};
    EXPECT_EQ(GetObjectA(LoadImageA(self, MAKEINTRESOURCEA(probe::kLogo), IMAGE_BITMAP, 0, 0, LR_SHARED), sizeof bm, &bm),
              static_cast<int>(sizeof bm))
        << "a shared bitmap deleted anyway is loaded afresh";
    HANDLE own = LoadImageA(self, MAKEINTRESOURCEA(probe::kLinkCursor), IMAGE_CURSOR, 0, 0, 0);
    EXPECT_TRUE(DestroyIcon(static_cast<HICON>(own))) << "icons and cursors are one kind to user32";
    EXPECT_EQ(plat::win32::ImageObjectOf(own), nullptr);
  });
}

TEST(Resources, AResourceHandleGivenWithAnotherModuleIsAViolation) {
  Machine m;
  InProgram(m, [] {
    HMODULE library = LoadLibraryA("ProbeLibrary.dll");
    HRSRC programPage = FindResourceA(nullptr, MAKEINTRESOURCEA(probe::kPage), RT_DIALOG);
    ASSERT_NE(programPage, nullptr);
    std::string v = plat::ExpectViolation([&] { LoadResource(library, programPage); });
    EXPECT_NE(v.find("LoadResource with a resource that is not one of the module's"), std::string::npos) << v;
    v = plat::ExpectViolation([&] { SizeofResource(library, programPage); });
    EXPECT_NE(v.find("SizeofResource"), std::string::npos) << v;
    FreeLibrary(library);
  });
}

TEST(Resources, AProcessWithoutAProgramImageHasNoResourcesOfItsOwn) {
  Machine m;
  HRSRC found = reinterpret_cast<HRSRC>(1);
  DWORD error = 0;
  char text[8] = "x";
  int length = -1;
  void* p = m.Start("host.exe", 64, [&]() -> uint32_t {
    found = FindResourceA(nullptr, MAKEINTRESOURCEA(probe::kPage), RT_DIALOG);
    error = GetLastError();
    length = LoadStringA(nullptr, probe::kTitleString, text, sizeof text);
    return 0;
  });
  m.Wait(p);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(error, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(length, 0);
  EXPECT_STREQ(text, "");
  m.Release(p);
}

}  // namespace
