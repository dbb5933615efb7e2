#include "ErrorStack.h"

#include <new>

#include "WStringList.h"
#include "ZYNSysLocalMemory.h"
#include "ZYNSysTSD.h"

namespace {

struct Node {
    std::unique_ptr<ErrorObject> record;
    Node* previous = nullptr;  // more recent
    Node* next = nullptr;      // older
};

struct ThreadStack {
    Node* head = nullptr;
    Node* tail = nullptr;
    std::uint32_t count = 0;

    ~ThreadStack() {
        while (head) {
            Node* older = head->next;
            delete head;
            head = older;
        }
    }
};

void ReleaseThreadStack(std::uint64_t value) {
    delete reinterpret_cast<ThreadStack*>(static_cast<std::uintptr_t>(value));
}

INIT_ONCE g_keyOnce = INIT_ONCE_STATIC_INIT;
std::uint32_t g_key = 0;

BOOL CALLBACK CreateKey(INIT_ONCE*, void*, void**) {
    g_key = ZYNSysTSDNewKey();
    ZYNSysTSDSetCleanup(g_key, &ReleaseThreadStack);
    return TRUE;
}

ThreadStack* CurrentStack(bool create) {
    ::InitOnceExecuteOnce(&g_keyOnce, &CreateKey, nullptr, nullptr);
    auto* stack = reinterpret_cast<ThreadStack*>(static_cast<std::uintptr_t>(ZYNSysTSDGetValue(g_key)));
    if (stack || !create) return stack;
    stack = new (std::nothrow) ThreadStack();
    if (!stack) return nullptr;
    if (FAILED(ZYNSysTSDSetValue(g_key, reinterpret_cast<std::uintptr_t>(stack)))) {
        delete stack;
        return nullptr;
    }
    return stack;
}

}  // namespace

bool ErrorStack::Push(std::unique_ptr<ErrorObject> record) {
    if (!record) return false;
    ThreadStack* stack = CurrentStack(true);
    if (!stack) return false;
    Node* node = new (std::nothrow) Node();
    if (!node) return false;
    node->record = std::move(record);
    node->next = stack->head;
    if (stack->head) stack->head->previous = node; else stack->tail = node;
    stack->head = node;
    if (++stack->count > kMaxRecords) {
        Node* oldest = stack->tail;
        stack->tail = oldest->previous;
        stack->tail->next = nullptr;
        delete oldest;
        --stack->count;
    }
    return true;
}

std::uint32_t ErrorStack::GetCount() {
    ThreadStack* stack = CurrentStack(false);
    return stack ? stack->count : 0;
}

const ErrorObject* ErrorStack::GetRecord(std::uint32_t index) {
    ThreadStack* stack = CurrentStack(false);
    Node* node = stack ? stack->head : nullptr;
    for (; node && index > 0; --index) node = node->next;
    return node ? node->record.get() : nullptr;
}

void RaiseError(const SharedWString& message, std::uint32_t severity, std::uint32_t hresult, std::uint32_t win32Code) {
    ErrorObject* record = new (std::nothrow) ErrorObject(message, severity, hresult, win32Code);
    if (record) ErrorStack::Push(std::unique_ptr<ErrorObject>(record));
}

SharedWString FormatCatalogMessage(const SharedWString& catalog, const SharedWString& messageId,
                                   const WStringList* parameters) {
    SharedWString text(catalog);
    text.Append2(L".", messageId);
    text.Append(L"(");
    if (parameters) {
        WStringList::Iterator it(parameters);
        bool first = true;
        while (const SharedWString* item = it.Next()) {
            if (!first) text.Append(L", ");
            first = false;
            text.Append(*item);
        }
    }
    text.Append(L")");
    return text;
}

void RaiseCatalogError(const SharedWString& catalog, const SharedWString& messageId, const WStringList* parameters,
                       std::uint32_t severity, std::uint32_t hresult, std::uint32_t win32Code) {
    RaiseError(FormatCatalogMessage(catalog, messageId, parameters), severity, hresult, win32Code);
}

void RaiseLastWin32Error(const SharedWString& message, std::uint32_t severity, std::uint32_t hresult) {
    DWORD code = ::GetLastError();
    if (code == 0) return;
    SharedWString number;
    number.Format(static_cast<std::int32_t>(code), "%d");
    SharedWString text(message);
    text.Append2(L"\nError num: ", number);

    ZYNSysLocalPointer<wchar_t*> systemText;
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(systemText.Put()), 0, nullptr);
    if (length > 0 && systemText) text.Append2(L"\n", systemText.Get());

    RaiseError(text, severity, hresult, code);
}
