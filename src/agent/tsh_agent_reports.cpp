// tsh_agent_reports.cpp - what the daemon reads out of the agent's texts:
// its scan events (agent callback threads, under va_lock), its version
// answer and its status report (main thread, agent check thread). Each text
// comes from outside and may be anything.
#include "tsh_agent.h"

#include <cjson/cJSON.h>

#include <string_view>

#include "tsh_dal.h"
#include "tsh_json.h"
#include "tsh_log.h"

namespace {
constexpr const char TSH_MODULE[] = "tsh_agent";

void set_scan_field(const char *field, const char *value)
{
    log_q7_error(q7_set_ascii(dal_get_handle(), T_TELVA_RA_EVENT, 0, field, value));
}

// Writes one of the optional scan members when present; returns it.
const cJSON *scan_part(const cJSON *doc, const char *key, const char *field)
{
    const cJSON *m = child(doc, key);
    if (!cJSON_IsString(m))
        return nullptr;
    TSH_LOG(TSH_INFO, "%s is :%s\n", key, m->valuestring);
    set_scan_field(field, m->valuestring);
    return m;
}
}  // namespace

void update_scan_status_from_raw_response(const char *event)
{
    TSH_LOG(TSH_INFO, "Function:%s Inside func \n", "update_scan_status_from_raw_response");
    if (!event) {
        TSH_LOG(TSH_INFO, "SA_BROKER_VA_STATUS_CHANGED event is NULL\n");
        return;
    }
    JsonObject doc(cJSON_Parse(event));
    if (!doc)
        return;
    for (const char *field : {"saVAScanReason", "saVAScanResult", "saVAScanStatus", "saVAScanType"})
        set_scan_field(field, "");
    const cJSON *status = child(doc.get(), "status");
    if (!cJSON_IsString(status))
        return;
    const std::string_view st(status->valuestring);
    TSH_LOG(TSH_INFO, "Function:%s : Va_Scan status : %s \n", "update_scan_status_from_raw_response",
            status->valuestring);
    set_scan_field("saVAScanStatus", status->valuestring);
    if (st == "started") {
        scan_part(doc.get(), "type", "saVAScanType");
    } else if (st == "postponed" || st == "canceled" || st == "aborted") {
        scan_part(doc.get(), "type", "saVAScanType");
        scan_part(doc.get(), "reason", "saVAScanReason");
    } else if (st == "finished") {
        scan_part(doc.get(), "type", "saVAScanType");
        const cJSON *result = scan_part(doc.get(), "result", "saVAScanResult");
        if (result && std::string_view(result->valuestring) == "failed") {
            const char *reason = string_or(child(doc.get(), "reason"), "unknown");
            TSH_LOG(TSH_INFO, "reason is :%s\n", reason);
            set_scan_field("saVAScanReason", reason);
        }
    }
    doc.reset();
    log_q7_error(q7_set_enum(dal_get_handle(), T_TELVA_RA_EVENT, 0, "saVAScanEvent", "true"));
    TSH_LOG(TSH_INFO, "Setting saVAScanEvent as true \n");
}

void scan_version_info(const char *text, char *version, size_t vsize, char *patch, size_t psize)
{
    scan_member(text, "\"version\"", true, '"', version, vsize);
    scan_member(text, "\"patch_level\"", false, '}', patch, psize);
}

int log_status_report(const char *text)
{
    JsonObject doc(text ? cJSON_Parse(text) : nullptr);
    if (!doc)
        return 1;
    const cJSON *version = child(child(doc.get(), "agent"), "version");
    TSH_LOG(TSH_INFO, "[status_report]: release: %s\n", string_or(child(version, "release"), "(absent)"));
    TSH_LOG(TSH_INFO, "[status_report]: patch: %s\n", string_or(child(version, "patch"), "(absent)"));
    const cJSON *scheduled = child(child(doc.get(), "va"), "scheduled");
    if (cJSON_IsTrue(child(scheduled, "enabled")))
        TSH_LOG(TSH_INFO, "[status_report]: scheduled VA network scan tasks are run\n");
    else
        TSH_LOG(TSH_ERROR, "[status_report]: scheduled VA network scan tasks are not run\n");
    if (cJSON_IsTrue(child(scheduled, "allowed")))
        TSH_LOG(TSH_INFO, "[status_report]: cloud triggered VA scan tasks are run by the SAAgent\n");
    else
        TSH_LOG(TSH_INFO, "[status_report]: cloud triggered VA scan tasks are not run by the SAAgent\n");
    return 0;
}
