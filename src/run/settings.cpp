// The one record of run-wide state.
#include "run/settings.h"

run_settings_record run_settings;

void run_settings_reset()
{
    run_settings = run_settings_record{};
}
