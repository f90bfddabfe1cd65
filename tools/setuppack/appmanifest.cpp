// The bundle's application manifest: the stub's, byte for byte, except for the
// assembly name and the description, which would otherwise name the program
// the stub was built as instead of the vendor's product.
#include "setuppack.h"
#include "memutil.h"
#include "result.h"

namespace {

// "Larkspur Notes" -> "Larkspur.Notes.Setup": the name keeps the characters
// an assembly name may hold and joins the words between them with dots.
constexpr char ASSEMBLY_NAME_ENDING[] = "Setup";
constexpr DWORD ASSEMBLY_NAME_BYTES = 2 * MAX_PRODUCT_NAME_CHARS + sizeof(ASSEMBLY_NAME_ENDING);
constexpr WCHAR DESCRIPTION_ENDING[] = L" Setup";
// "&quot;" is the longest form a character of the name takes in the text.
constexpr DWORD DESCRIPTION_CHARS = 6 * MAX_PRODUCT_NAME_CHARS + ARRAYSIZE(DESCRIPTION_ENDING);
constexpr DWORD DESCRIPTION_BYTES = 3 * DESCRIPTION_CHARS;

struct XmlText {
    const char* data;
    DWORD size;
};

// A part of the stub's manifest and the text the bundle has there instead.
struct Replacement {
    DWORD offset;
    DWORD length;
    const char* text;
    BOOL found;
};

enum class MarkupKind { Other, Open, Close, Empty };

// One piece of markup, from its "<" to after its ">".
struct Markup {
    DWORD start;
    DWORD end;
    MarkupKind kind;
    DWORD nameEnd;   // the element's name runs from start + 1 (or + 2 for a close) to here
};

BOOL IsXmlBlank(char ch)
{
    return ' ' == ch || '\t' == ch || '\r' == ch || '\n' == ch;
}

// Where `token` begins at or after `from`; the text's size when nowhere.
DWORD Find(const XmlText& xml, DWORD from, const char* token)
{
    const DWORD length = lstrlenA(token);
    for (DWORD i = from; length <= xml.size && i <= xml.size - length; ++i) {
        if (0 == memcmp(xml.data + i, token, length)) {
            return i;
        }
    }
    return xml.size;
}

BOOL StartsWith(const XmlText& xml, DWORD at, const char* token)
{
    const DWORD length = lstrlenA(token);
    return at <= xml.size && length <= xml.size - at && 0 == memcmp(xml.data + at, token, length);
}

// Reads the markup at `start` (a "<"); false when it does not end. Quoted
// attribute values may hold a ">".
BOOL ReadMarkup(const XmlText& xml, DWORD start, Markup* markup)
{
    const struct {
        const char* begin;
        const char* end;
    } skipped[] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}};
    DWORD at = start + 1;
    char quote = 0;

    *markup = {start, xml.size, MarkupKind::Open, 0};
    for (const auto& kind : skipped) {
        if (StartsWith(xml, start, kind.begin)) {
            const DWORD end = Find(xml, start + lstrlenA(kind.begin), kind.end);
            markup->kind = MarkupKind::Other;
            markup->end = end + lstrlenA(kind.end);
            return end < xml.size;
        }
    }
    if (StartsWith(xml, start, "</")) {
        markup->kind = MarkupKind::Close;
        ++at;
    }
    while (at < xml.size && !IsXmlBlank(xml.data[at]) && '/' != xml.data[at] && '>' != xml.data[at]) {
        ++at;
    }
    markup->nameEnd = at;
    for (; at < xml.size && (quote || '>' != xml.data[at]); ++at) {
        if (quote == xml.data[at]) {
            quote = 0;
        } else if (!quote && ('"' == xml.data[at] || '\'' == xml.data[at])) {
            quote = xml.data[at];
        }
    }
    if (at >= xml.size) {
        return FALSE;
    }
    if (MarkupKind::Open == markup->kind && '/' == xml.data[at - 1]) {
        markup->kind = MarkupKind::Empty;
    }
    markup->end = at + 1;
    return TRUE;
}

// Whether the element is `name`, with or without a namespace prefix.
BOOL IsElement(const XmlText& xml, const Markup& markup, const char* name)
{
    const DWORD length = lstrlenA(name);
    const DWORD nameStart = markup.start + (MarkupKind::Close == markup.kind ? 2 : 1);
    if (markup.nameEnd - nameStart < length || !StartsWith(xml, markup.nameEnd - length, name)) {
        return FALSE;
    }
    return markup.nameEnd - nameStart == length || ':' == xml.data[markup.nameEnd - length - 1];
}

// The value of the attribute `name` of a start tag, between its quotes;
// not found when the tag has none. False when the tag's attributes cannot be read.
BOOL FindAttributeValue(const XmlText& xml, const Markup& tag, const char* name, Replacement* value)
{
    const DWORD length = lstrlenA(name);
    DWORD at = tag.nameEnd;

    for (;;) {
        while (at < tag.end && IsXmlBlank(xml.data[at])) ++at;
        if ('/' == xml.data[at] || '>' == xml.data[at]) {
            return TRUE;
        }
        const DWORD attributeName = at;
        while (at < tag.end && '=' != xml.data[at] && !IsXmlBlank(xml.data[at])) ++at;
        const BOOL wanted = at - attributeName == length && StartsWith(xml, attributeName, name);
        while (at < tag.end && IsXmlBlank(xml.data[at])) ++at;
        if (at >= tag.end || '=' != xml.data[at++]) return FALSE;
        while (at < tag.end && IsXmlBlank(xml.data[at])) ++at;
        const char quote = xml.data[at];
        if ('"' != quote && '\'' != quote) return FALSE;
        const DWORD valueStart = ++at;
        while (at < tag.end && quote != xml.data[at]) ++at;
        if (at >= tag.end) return FALSE;
        if (wanted) {
            value->offset = valueStart;
            value->length = at - valueStart;
            value->found = TRUE;
        }
        ++at;
    }
}

// The text of the element that `open` starts: it must hold no markup of its own.
BOOL FindElementText(const XmlText& xml, const Markup& open, const char* name, Replacement* text)
{
    Markup close = {};
    const DWORD end = Find(xml, open.end, "<");

    if (end >= xml.size || !ReadMarkup(xml, end, &close) || MarkupKind::Close != close.kind ||
        !IsElement(xml, close, name)) {
        return FALSE;
    }
    text->offset = open.end;
    text->length = end - open.end;
    text->found = TRUE;
    return TRUE;
}

// Finds the assembly's own name (not that of an assembly it depends on) and
// its description: children of the root element. What the manifest lacks is
// left lacking: it names nobody.
HRESULT FindIdentityTexts(const XmlText& xml, Replacement* name, Replacement* description)
{
    HRESULT hr = S_OK;
    Markup markup = {};
    int depth = 0;

    for (DWORD at = Find(xml, 0, "<"); at < xml.size; at = Find(xml, markup.end, "<")) {
        if (!ReadMarkup(xml, at, &markup)) {
            ReportError(L"the stub's application manifest is not XML: markup at byte %u does not end", at);
            EXIT_WITH(RESULT_INVALID_DATA);
        }
        const BOOL child = 1 == depth && (MarkupKind::Open == markup.kind || MarkupKind::Empty == markup.kind);
        if (child && !name->found && IsElement(xml, markup, "assemblyIdentity") &&
            !FindAttributeValue(xml, markup, "name", name)) {
            ReportError(L"the stub's application manifest is not XML: the attributes at byte %u", at);
            EXIT_WITH(RESULT_INVALID_DATA);
        }
        if (child && !description->found && MarkupKind::Open == markup.kind && IsElement(xml, markup, "description") &&
            !FindElementText(xml, markup, "description", description)) {
            ReportError(L"the stub's application manifest has a description that is no plain text (byte %u)", at);
            EXIT_WITH(RESULT_INVALID_DATA);
        }
        depth += MarkupKind::Open == markup.kind ? 1 : MarkupKind::Close == markup.kind ? -1 : 0;
    }

Exit:
    return hr;
}

BOOL IsAssemblyNameChar(WCHAR ch)
{
    return (ch >= L'A' && ch <= L'Z') || (ch >= L'a' && ch <= L'z') || (ch >= L'0' && ch <= L'9') || L'-' == ch ||
           L'_' == ch;
}

void MakeAssemblyName(LPCWSTR productName, char (&name)[ASSEMBLY_NAME_BYTES])
{
    DWORD length = 0;
    BOOL gap = FALSE;

    for (LPCWSTR p = productName; *p; ++p) {
        if (!IsAssemblyNameChar(*p)) {
            gap = length > 0;
            continue;
        }
        if (gap) {
            name[length++] = '.';
            gap = FALSE;
        }
        name[length++] = static_cast<char>(*p);
    }
    if (length > 0) {
        name[length++] = '.';
    }
    memcpy(name + length, ASSEMBLY_NAME_ENDING, sizeof(ASSEMBLY_NAME_ENDING));
}

LPCWSTR XmlEscape(WCHAR ch)
{
    switch (ch) {
    case L'&': return L"&amp;";
    case L'<': return L"&lt;";
    case L'>': return L"&gt;";
    case L'"': return L"&quot;";
    default: return nullptr;
    }
}

// "<Product name> Setup" as XML text in UTF-8. Control characters, which XML
// text cannot hold, become blanks.
HRESULT MakeDescription(LPCWSTR productName, char (&description)[DESCRIPTION_BYTES])
{
    HRESULT hr = S_OK;
    WCHAR text[DESCRIPTION_CHARS] = {};
    WCHAR one[2] = {};

    for (LPCWSTR p = productName; *p; ++p) {
        const LPCWSTR escaped = XmlEscape(*p);
        one[0] = *p < L' ' || *p >= 0xFFFE ? L' ' : *p;
        EXIT_IF_FAILED(BoundedAppend(text, ARRAYSIZE(text), escaped ? escaped : one));
    }
    EXIT_IF_FAILED(BoundedAppend(text, ARRAYSIZE(text), DESCRIPTION_ENDING));
    EXIT_LAST_ERROR_IF(0 == ::WideCharToMultiByte(CP_UTF8, 0, text, -1, description, DESCRIPTION_BYTES, nullptr,
                                                  nullptr));

Exit:
    return hr;
}

// The stub's manifest with the replacements (at most two, apart) put in.
HRESULT Splice(const XmlText& xml, const Replacement* a, const Replacement* b, BYTE** manifest, DWORD* size)
{
    HRESULT hr = S_OK;
    const DWORD bytes = xml.size + ASSEMBLY_NAME_BYTES + DESCRIPTION_BYTES;
    BYTE* block = static_cast<BYTE*>(MemutilAllocate(bytes, FALSE));
    const BOOL aFirst = !b->found || (a->found && a->offset < b->offset);
    const Replacement* const inOrder[] = {aFirst ? a : b, aFirst ? b : a};
    DWORD from = 0;
    DWORD written = 0;

    EXIT_IF_NULL_ALLOC(block);
    for (const Replacement* part : inOrder) {
        if (!part->found) {
            continue;
        }
        memcpy(block + written, xml.data + from, part->offset - from);
        written += part->offset - from;
        memcpy(block + written, part->text, lstrlenA(part->text));
        written += lstrlenA(part->text);
        from = part->offset + part->length;
    }
    memcpy(block + written, xml.data + from, xml.size - from);
    *manifest = block;
    *size = written + xml.size - from;
    block = nullptr;

Exit:
    if (block) MemutilRelease(block);
    return hr;
}

} // namespace

HRESULT BuildApplicationManifest(LPCWSTR productName, const BYTE* stubManifest, DWORD stubSize, BYTE** manifest,
                                 DWORD* size)
{
    HRESULT hr = S_OK;
    const XmlText xml = {reinterpret_cast<const char*>(stubManifest), stubSize};
    char assemblyName[ASSEMBLY_NAME_BYTES] = {};
    char description[DESCRIPTION_BYTES] = {};
    Replacement name = {0, 0, assemblyName, FALSE};
    Replacement descriptionText = {0, 0, description, FALSE};

    // The names are looked for as 8-bit text.
    if (StartsWith(xml, 0, "\xFF\xFE") || StartsWith(xml, 0, "\xFE\xFF")) {
        ReportError(L"the stub's application manifest is UTF-16 text: the packer rewrites UTF-8 manifests only");
        EXIT_WITH(RESULT_INVALID_DATA);
    }
    EXIT_IF_FAILED(FindIdentityTexts(xml, &name, &descriptionText));
    MakeAssemblyName(productName, assemblyName);
    EXIT_IF_FAILED(MakeDescription(productName, description));
    EXIT_IF_FAILED(Splice(xml, &name, &descriptionText, manifest, size));

Exit:
    return hr;
}
