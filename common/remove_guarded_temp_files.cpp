#include "temp_file_guard.h"

#include <unistd.h>

namespace dispsmooth {

void remove_guarded_temp_files() {
    using namespace temp_file_guard_detail;
    for (slot &s : slots) {
        if (s.state.load() == slot_armed) unlink(s.path);
    }
}

}  // namespace dispsmooth
