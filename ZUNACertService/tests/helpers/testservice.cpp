// A bare service on CServiceBase for tests against the real service manager.
// Its first argument picks the start: "ok" runs, "throw5" fails with code 5.
#include <windows.h>

#include <cwchar>

#include "ServiceBase.h"
#include "utils.h"

namespace {
class CProbeService : public CServiceBase {
public:
    CProbeService(bool fail) : CServiceBase(L"ZunaBaseProbe", true, true, false), m_fail(fail) {}

protected:
    void OnStart(DWORD, PWSTR*) override {
        if (m_fail) throw static_cast<DWORD>(5);
    }

private:
    bool m_fail;
};
}  // namespace

int wmain(int argc, wchar_t** argv) {
    CProbeService service(argc > 1 && std::wcscmp(argv[1], L"throw5") == 0);
    CServiceBase::RunInternal(service);
    return 0;
}
