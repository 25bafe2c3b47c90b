// SPDX-License-Identifier: MIT
#pragma once

#include "app/application.h"

namespace vemdo {

// Alerts as Qt message boxes: a warning with the request's buttons, the first of them the default.
class QtAlertPresenter final : public AlertPresenter {
public:
    int ask(const AlertRequest& alert) override;
};

} // namespace vemdo
