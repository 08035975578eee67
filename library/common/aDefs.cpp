#include "aDefs.h"

namespace {

struct ModelName {
    uint32_t code;
    const char* name;
};

// Display names of the model codes modules report; codes missing here are "Unknown".
constexpr ModelName kModelNames[] = {
    {4, "KX-MTM-IO"},       {5, "KX-MTM-PM"},      {13, "KX-USBHUB2"},   {14, "KX-USBHUB3P"},
    {15, "KX-USBHUB3C"},    {16, "KX-USBCSWITCH"}, {17, "KX-USBEXT3C"},  {18, "KX-PD3M"},
    {19, "KX-MTM-USBSTEM"}, {20, "KX-MTM-DAQ1"},   {21, "KX-MTM-DAQ2"},  {22, "KX-MTM-LOAD1"},
    {23, "KX-HUB4ETH"},     {24, "KX-HUB8ETH"},    {25, "KX-PWRSWITCH"}, {26, "KX-MTM-RELAY"},
    {27, "KX-ROUTER"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t code) {
    for (const auto& model : kModelNames) {
        if (model.code == code) {
            return model.name;
        }
    }
    return "Unknown";
}
