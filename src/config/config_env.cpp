// Production ConfigEnv: the only configuration code that touches the system.
#include "config/config_env.h"

#include "platform/kvo_base.h"
#include "platform/kvo_static.h"
#include "platform/small_file.h"

namespace {

class RealConfigEnv final : public ConfigEnv {
public:
    bool ReadProbe(const char* path, std::string* text) override {
        return ReadSmallFile(path, text);
    }
    unsigned int CpuCount() override { return kvo_cpu_count(); }
    int IsVirtualMachine() override { return kvo_is_virtual_evn(0); }
};

}  // namespace

ConfigEnv* ConfigEnv::Default() {
    // Never destroyed: a late reader at exit still finds it.
    return NeverDestroyed<RealConfigEnv>();
}
