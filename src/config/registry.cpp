#include "config/registry.h"

#include <vector>
#include "base/handles.h"
#include "base/state.h"

namespace {

// The value may change between asking its size and reading it.
constexpr int kReadAttempts = 3;

std::wstring ParametersKeyPath() {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + ServiceState.serviceName + L"\\Parameters";
}

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

LONG ReadServiceParameterValue(const wchar_t* valueName, std::wstring& value) {
    value.clear();
    std::wstring key = ParametersKeyPath();
    LONG result = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < kReadAttempts && result == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        result = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), valueName, RRF_RT_REG_SZ, nullptr,
                              nullptr, &size);
        if (result != ERROR_SUCCESS) {
            return result;
        }
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        result = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), valueName, RRF_RT_REG_SZ, nullptr,
                              buffer.data(), &size);
        if (result == ERROR_SUCCESS) {
            value = buffer.data();
        }
    }
    return result;
}

std::wstring ReadServiceParameter(const wchar_t* valueName) {
    std::wstring value;
    ReadServiceParameterValue(valueName, value);
    return value;
}

LONG WriteServiceParameters(const std::wstring& core, const std::wstring& gui) {
    UniqueRegKey key;
    LONG result =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    result = SetString(key.get(), L"CoreBinary", core);
    if (result == ERROR_SUCCESS && !gui.empty()) {
        result = SetString(key.get(), L"GuiBinary", gui);
    }
    return result;
}
