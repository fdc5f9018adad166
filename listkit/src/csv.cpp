#include <listkit/lists.h>

#include <string>

UnicodeString Sv_IntVectToCsv(const std::vector<int> &list)
{
    UnicodeString out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0)
            out.push_back(u',');
        const std::string digits = std::to_string(list[i]);
        out.append(digits.begin(), digits.end());
    }
    return out;
}

bool Sv_CsvToIntVect(const UnicodeString &text, std::vector<int> &list)
{
    list.clear();
    // Fields are found and converted in one pass: the same fields as splitting at "," first
    // (empty ones skipped), without building the intermediate list of strings.
    const std::size_t n = text.size();
    // Room for every non-empty field up front, so a long text fills the list without
    // reallocating and copying it again at each doubling.
    std::size_t fields = 0;
    for (std::size_t i = 0; i < n; ++i)
        fields += text[i] != u',' && (i == 0 || text[i - 1] == u',');
    list.reserve(fields);
    UnicodeString field; // reused, so long texts convert without an allocation per field
    std::size_t start = 0;
    while (start < n) {
        std::size_t end = text.find(u',', start);
        if (end == UnicodeString::npos)
            end = n;
        if (end > start) {
            std::size_t a = start;
            std::size_t b = end;
            while (a < b && text[a] <= u' ')
                ++a;
            while (b > a && text[b - 1] <= u' ')
                --b;
            try {
                field.assign(text, a, b - a);
                list.push_back(StrToInt(field));
            } catch (const EConvertError &) {
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}
