// Not compiled: what build.HostWideStringCheckFindsMisuses expects the check
// to refuse, one line per rule.
std::wstring a;
std::basic_string<wchar_t> b;
std::basic_string_view<WCHAR> c;
EXPECT_STREQ(name, L"abc");
EXPECT_THAT(text, HasSubstr(L"x"));
printf("%ls\n", name);
RtlStringCchPrintfW(buffer, 8, L"%ls", name);  // the platform's formatter reads %ls as UTF-16: allowed
