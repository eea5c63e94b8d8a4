#include "ServiceIdentity.h"

const wchar_t kServiceName[] = L"ZUNATAVLGuardService";
const wchar_t kServiceDisplayName[] = L"ZUNATAVLGuardService zuna Service";
const wchar_t kServiceDescription[] =
    L"ZUNA\u7edf\u4e00\u63a7\u4ef6\u652f\u6301\u8c37\u6b4c\u6d4f\u89c8\u5668\u7684\u670d\u52a1";
const char kProbeUrl[] = "http://127.0.0.1:58000";
const char kProbeBody[] = "{\"active\":\"CertInfo\", \"name\" : \"GetOCXVersion\"}";
