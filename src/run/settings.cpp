// The one record of run-wide state.
#include "run/settings.h"

run_settings_record run_settings;
report_settings_record &report_settings = run_settings;
procdb_settings_record &procdb_settings = run_settings;

void run_settings_reset()
{
    run_settings = run_settings_record{};
}
