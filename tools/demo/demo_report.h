// What a person reads at the end of a session, and report.json for scripts.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "demo_session.h"

namespace vq7demo {

nlohmann::json ReportJson(const SessionResult& result);
std::string ReportText(const SessionResult& result);

}  // namespace vq7demo
