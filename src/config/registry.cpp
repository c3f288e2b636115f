#include "config/registry.h"

#include "app/handles.h"
#include "app/state.h"

namespace {

constexpr DWORD kValueUnits = 260;

std::wstring ParametersKeyPath() {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + ServiceState.serviceName + L"\\Parameters";
}

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

LONG ReadServiceParameterValue(const wchar_t* valueName, std::wstring& value) {
    wchar_t buffer[kValueUnits] = {};
    DWORD size = sizeof buffer;
    LONG result = RegGetValueW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), valueName,
                               RRF_RT_REG_SZ, nullptr, buffer, &size);
    value = result == ERROR_SUCCESS ? std::wstring(buffer) : std::wstring();
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
