#include "EchoUnit.h"

namespace kxsim {

bool EchoUnit::handle(const Packet& request, std::vector<Packet>& replies) {
    if (request.data.empty() || request.data[0] != kCommand) {
        return false;
    }
    replies.push_back(Packet{address_, request.data});
    return true;
}

}  // namespace kxsim
