// The boot marker shared by vaskel-system-generator and vaskel-remount.
#include "boot_marker.h"

#include <fcntl.h>
#include <unistd.h>

void touch_boot_marker()
{
    int fd = open("/run/vaskel-booted", O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0640);
    if (fd >= 0)
        close(fd);
}
