// A build without libminiupnpc: no UPnP client, and the output says so.

#include "standard/upnp_client.h"

bool UpnpAvailable() {
    return false;
}

std::unique_ptr<IUpnpClient> MakeUpnpClient() {
    return nullptr;
}
