// The installer package's remembered properties and the bridge command line made of them.
#include "bridge/core/package_settings.h"

#include "bridge/core/bridge_config.h"
#include "bridge/core/bridge_options.h"
#include "bridge/core/service_rules.h"
#include "bridge/core/text.h"

int RememberedProperties(const char** names, int capacity) {
    int count = 0;
    if (count < capacity) names[count++] = "ROLE";
    for (int i = 0; i < kOptionRowCount && count < capacity; ++i) {
        const char* property = OptionProperty(&kOptionRows[i]);
        if (property != nullptr) names[count++] = property;
    }
    if (count < capacity) names[count++] = "EXTRA_OPTIONS";
    return count;
}

int SettingValue(const char* settings, const char* name, char* out, uint32_t capacity) {
    out[0] = 0;
    uint32_t length = TextLength(name);
    const char* value = nullptr;
    const char* valueEnd = nullptr;
    // The last line of a name wins: the set-up adds the password file's line after the others.
    for (const char* line = settings; *line != 0;) {
        const char* end = line;
        while (*end != 0 && *end != '\n') ++end;
        uint32_t i = 0;
        while (i < length && line + i < end && line[i] == name[i]) ++i;
        if (i == length && line + i < end && line[i] == '=') {
            value = line + i + 1;
            valueEnd = end;
        }
        line = *end == 0 ? end : end + 1;
    }
    if (value == nullptr || static_cast<uint32_t>(valueEnd - value) >= capacity) return 0;
    uint32_t n = 0;
    for (; value + n < valueEnd; ++n) out[n] = value[n];
    out[n] = 0;
    return n > 0;
}

uint32_t BuildReconfigureCommand(const char* program, const char* settings, char* out,
                                 uint32_t capacity) {
    TextBuilder text = {out, capacity, 0, 0};
    char value[1024];
    SettingValue(settings, "ROLE", value, sizeof value);
    int role = TextEquals(value, "deliver") ? kRoleDeliver : kRolePublish;
    AppendFormat(&text, "\"%s\" reconfigure ", program);
    // Any other role is passed on for the bridge to refuse in its own words.
    AppendQuotedWord(&text, value[0] != 0 ? value : "publish");
    for (int i = 0; i < kOptionRowCount; ++i) {
        const OptionRow& row = kOptionRows[i];
        const char* property = OptionProperty(&row);
        if (property == nullptr || (row.roles & role) == 0) continue;
        if (!SettingValue(settings, property, value, sizeof value)) continue;
        if (row.valueName == nullptr && !TextEquals(value, "1")) continue;
        AppendFormat(&text, " %s", row.name);
        if (row.valueName == nullptr) continue;
        AppendText(&text, " ");
        AppendQuotedWord(&text, value);
    }
    if (SettingValue(settings, "EXTRA_OPTIONS", value, sizeof value)) {
        AppendFormat(&text, " %s", value);
    }
    return FinishText(&text);
}
