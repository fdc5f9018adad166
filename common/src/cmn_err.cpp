#include <common/cmn_err.h>

#include <common/strtable.h>

cmn_err::cmn_err(int id) : std::runtime_error(UnicodeToUtf8(LoadStr(id))), id_(id), text_(LoadStr(id)) {}
