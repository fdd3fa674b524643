// kelvane: the temperature source, the kernel's first thermal zone.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "board.h"

static const char thermal_path[] = "/sys/class/thermal/thermal_zone0/temp";

// The stream gets this buffer so that stdio does not stat the file to size
// one of its own on every sample.
static char thermal_buf[64];

// The cause of the failure now going on, empty while readings are usable.
// A zone that stays broken is reported once, again when the cause changes,
// and once more when it reads again, so the journal is not flooded at two
// lines a second; the status text of each cycle still names the cause.
static char failing_cause[128];

static void report(const char *cause)
{
    notify_status("cannot read %s: %s", thermal_path, cause);
    if (strcmp(cause, failing_cause) == 0)
        return;
    fprintf(stderr, "kelvane: cannot read %s: %s\n", thermal_path, cause);
    snprintf(failing_cause, sizeof failing_cause, "%s", cause);
}

static void report_recovery(void)
{
    if (!failing_cause[0])
        return;
    fprintf(stderr, "kelvane: %s reads again\n", thermal_path);
    failing_cause[0] = '\0';
}

// Checks one reading in millidegrees; returns the cause when it is no
// usable temperature, or null.
static const char *check_reading(FILE *f, int fields, double degrees)
{
    if (fields != 1)
        return ferror(f) && errno ? strerror(errno) : "no number in file";
    if (!std::isfinite(degrees))
        return "value is not finite";
    // The board gets the whole degrees of the float that is returned, so
    // that float must truncate to an int.
    float d = static_cast<float>(degrees);
    if (!(d >= -2147483648.0f && d < 2147483648.0f))
        return "value out of range";
    return nullptr;
}

// One sample: open the zone, read one number in millidegrees, print it in
// degrees, close the zone and return the degrees. A reading that is not a
// finite temperature whose whole degrees fit an int prints no temperature
// line and returns NaN, so that no made-up value reaches the board; its
// cause goes to stderr when it is new.
float getCPUtemperture(void)
{
    FILE *f = fopen(thermal_path, "r");
    if (!f) {
        report(strerror(errno));
        return NAN;
    }
    setvbuf(f, thermal_buf, _IOFBF, sizeof thermal_buf);

    double temp = 0;
    errno = 0;
    int fields = fscanf(f, "%lf", &temp);
    temp /= 1000.0;

    float result = NAN;
    if (const char *cause = check_reading(f, fields, temp)) {
        report(cause);
    } else {
        report_recovery();
        printf("The temperature is %6.3f C.\n", temp);
        notify_status("%.3f C", temp);
        result = static_cast<float>(temp);
    }
    fclose(f);
    return result;
}
