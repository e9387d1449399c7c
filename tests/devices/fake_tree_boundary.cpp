#include "fake_tree_boundary.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "platform/errors.h"

namespace {

bool sameNoCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

DEVINST FakeTreeBoundary::addNode(DEVINST parent, const std::string& id) {
    const DEVINST node = next_++;
    nodes_[node] = Node{id, parent, {}};
    if (parent != 0) nodes_[parent].children.push_back(node);
    return node;
}

void FakeTreeBoundary::addHid(const std::string& path, const std::u16string& units) {
    hids_.emplace_back(path, units);
}

HANDLE FakeTreeBoundary::openDevice(const char* path, DWORD, DWORD, DWORD, DWORD) {
    for (size_t i = 0; i < hids_.size(); ++i) {
        if (sameNoCase(hids_[i].first, path)) {
            ++openHandles_;
            return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x100 + i));
        }
    }
    os::setLastError(os::kErrorFileNotFound);
    return INVALID_HANDLE_VALUE;
}

bool FakeTreeBoundary::closeDevice(HANDLE) {
    --openHandles_;
    return true;
}

bool FakeTreeBoundary::listAudioInterfaces(std::vector<os::AudioInterfaceInfo>& interfaces) {
    interfaces.clear();
    return true;
}

CONFIGRET FakeTreeBoundary::cmGetParent(DEVINST* parent, DEVINST node, ULONG) {
    auto it = nodes_.find(node);
    if (it == nodes_.end() || it->second.parent == 0) return CR_NO_SUCH_DEVNODE;
    *parent = it->second.parent;
    return CR_SUCCESS;
}

CONFIGRET FakeTreeBoundary::cmGetChild(DEVINST* child, DEVINST node, ULONG) {
    auto it = nodes_.find(node);
    if (it == nodes_.end() || it->second.children.empty()) return CR_NO_SUCH_DEVNODE;
    *child = it->second.children.front();
    return CR_SUCCESS;
}

CONFIGRET FakeTreeBoundary::cmGetSibling(DEVINST* sibling, DEVINST node, ULONG) {
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_NO_SUCH_DEVNODE;
    const auto& siblings = nodes_[it->second.parent].children;
    auto self = std::find(siblings.begin(), siblings.end(), node);
    if (self == siblings.end() || self + 1 == siblings.end()) return CR_NO_SUCH_DEVNODE;
    *sibling = *(self + 1);
    return CR_SUCCESS;
}

CONFIGRET FakeTreeBoundary::cmGetDeviceIdSize(ULONG* size, DEVINST node, ULONG) {
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_NO_SUCH_DEVNODE;
    *size = static_cast<ULONG>(it->second.id.size());
    return CR_SUCCESS;
}

CONFIGRET FakeTreeBoundary::cmGetDeviceId(DEVINST node, char* buffer, ULONG bufferLength, ULONG) {
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return CR_NO_SUCH_DEVNODE;
    const std::string& id = it->second.id;
    if (bufferLength < id.size()) return CR_BUFFER_SMALL;
    std::memcpy(buffer, id.data(), id.size());
    if (bufferLength > id.size()) buffer[id.size()] = '\0';
    return CR_SUCCESS;
}

CONFIGRET FakeTreeBoundary::cmGetDeviceInterfaceList(const GUID& interfaceClass, const char* deviceId,
                                                     std::vector<std::string>& paths) {
    paths.clear();
    const Node* found = nullptr;
    for (const auto& node : nodes_)
        if (sameNoCase(node.second.id, deviceId)) found = &node.second;
    if (found == nullptr) return CR_NO_SUCH_DEVNODE;
    if (!os::guidEquals(interfaceClass, ksabi::kHidInterfaceClass)) return CR_SUCCESS;
    auto listed = hidInterfaces.find(found->id);
    if (listed != hidInterfaces.end()) {
        paths = listed->second;
    } else if (found->id.compare(0, 4, "HID\\") == 0) {
        std::string path = "\\\\?\\";
        for (char c : found->id) path.push_back(c == '\\' ? '#' : c);
        paths.push_back(path + "#{4D1E55B2-F16F-11CF-88CB-001111000030}");
    }
    return CR_SUCCESS;
}

bool FakeTreeBoundary::hidGetSerialNumberString(HANDLE hidDevice, void* buffer, ULONG bufferBytes) {
    const size_t i = static_cast<size_t>(reinterpret_cast<uintptr_t>(hidDevice) - 0x100);
    if (i >= hids_.size()) return false;
    const std::u16string& units = hids_[i].second;
    auto* out = static_cast<uint8_t*>(buffer);
    const size_t fit = std::min(units.size(), static_cast<size_t>(bufferBytes / 2));
    for (size_t k = 0; k < fit; ++k) {
        out[2 * k] = static_cast<uint8_t>(units[k] & 0xFF);
        out[2 * k + 1] = static_cast<uint8_t>(units[k] >> 8);
    }
    if (fit * 2 + 2 <= bufferBytes) out[2 * fit] = out[2 * fit + 1] = 0;
    return true;
}
