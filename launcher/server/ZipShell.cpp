#include "ZipShell.h"

#include "ZYNSysWin.h"

#include <oleauto.h>
#include <shldisp.h>

#include "ComSupport.h"
#include "Logger.h"
#include "ToolBox.h"

namespace {

constexpr char kUnzip[] = "[Operations::Local::Unzip]";
// FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI
constexpr LONG kCopyOptions = 0x614;

constexpr CLSID kClsidShell = {0x13709620, 0xC279, 0x11CE, {0xA4, 0x9E, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr IID kIidShellDispatch = {0xD8F015C0, 0xC278, 0x11CE, {0xA4, 0x9E, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr IID kIidDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class Bstr {
public:
    explicit Bstr(const std::wstring& text) : value_(::SysAllocString(text.c_str())) {}
    ~Bstr() { ::SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return value_; }

private:
    BSTR value_;
};

VARIANT StringVariant(BSTR text) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text;
    return v;
}

class ShellZipCopy final : public ZipCopy {
public:
    ShellZipCopy(const std::wstring& zip, const std::wstring& target) : zipText_(zip), targetText_(target) {}

    // False after logging the step that failed.
    bool Start() {
        auto failed = [](HRESULT hr, const char* text) {
            Logger::Error(std::string(kUnzip) + "{" + ToolBox::HResultToString(hr) + "}" + text);
            return false;
        };
        VARIANT zipVariant = StringVariant(zipText_.Get());
        VARIANT targetVariant = StringVariant(targetText_.Get());
        VARIANT options;
        ::VariantInit(&options);
        options.vt = VT_I4;
        options.lVal = kCopyOptions;

        HRESULT hr =
            ::CoCreateInstance(kClsidShell, nullptr, CLSCTX_INPROC_SERVER, kIidShellDispatch, shell_.OutVoid());
        if (FAILED(hr) || !shell_.Get()) return failed(hr, "Failed to CoCreateInstance");
        // NameSpace answers S_FALSE with no folder for what it cannot open.
        hr = shell_->NameSpace(zipVariant, zipFolder_.Out());
        if (FAILED(hr) || !zipFolder_.Get()) return failed(hr, "Failed to open Zip file");
        hr = shell_->NameSpace(targetVariant, targetFolder_.Out());
        if (FAILED(hr) || !targetFolder_.Get()) return failed(hr, "Failed to open destination directory");
        hr = zipFolder_->Items(items_.Out());
        if (FAILED(hr) || !items_.Get()) return failed(hr, "Failed to open Zip content");
        hr = items_->get_Count(&count_);
        if (FAILED(hr)) return failed(hr, "Fail to count files in this zip");
        if (count_ <= 0) {
            Logger::Error(std::string(kUnzip) + "Zip file is empty");
            return false;
        }
        hr = items_->QueryInterface(kIidDispatch, dispatch_.OutVoid());
        if (FAILED(hr) || !dispatch_.Get()) {
            Logger::Error(std::string(kUnzip) + "{" + ToolBox::HResultToString(hr) +
                          "}Failed to QueryInterface (ptr=" + ToolBox::PointerToString(dispatch_.Get()) + ")");
            return false;
        }
        VARIANT itemsVariant;
        ::VariantInit(&itemsVariant);
        itemsVariant.vt = VT_DISPATCH;
        itemsVariant.pdispVal = dispatch_.Get();
        hr = targetFolder_->CopyHere(itemsVariant, options);
        if (FAILED(hr)) return failed(hr, "Failed to extract the Zip file");
        return true;
    }

    long ItemCount() const override { return count_; }

private:
    Bstr zipText_;
    Bstr targetText_;
    ComPtr<IShellDispatch> shell_;
    ComPtr<Folder> zipFolder_;
    ComPtr<Folder> targetFolder_;
    ComPtr<FolderItems> items_;
    ComPtr<IDispatch> dispatch_;
    long count_ = 0;
};

class WindowsZipShell final : public ZipShell {
public:
    std::unique_ptr<ZipCopy> StartCopy(const std::wstring& zip, const std::wstring& target) override {
        auto copy = std::make_unique<ShellZipCopy>(zip, target);
        if (!copy->Start()) return nullptr;
        return copy;
    }
};

WindowsZipShell g_windowsShell;
constinit Seam<ZipShell> g_shell{g_windowsShell};

}  // namespace

ZipShell* SetZipShell(ZipShell* shell) { return g_shell.Set(shell); }
ZipShell& GetZipShell() { return g_shell.Get(); }
