// HDF5 identifiers that close themselves, for the HDF5 writer's files.
#pragma once

#include <hdf5.h>

#include <utility>

// An HDF5 identifier, closed by Close when the handle goes.
template <herr_t (*Close)(hid_t)>
class Hdf5Handle {
public:
    Hdf5Handle() = default;
    explicit Hdf5Handle(hid_t id) : id_(id) {}
    Hdf5Handle(const Hdf5Handle&) = delete;
    Hdf5Handle& operator=(const Hdf5Handle&) = delete;
    Hdf5Handle(Hdf5Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
    Hdf5Handle& operator=(Hdf5Handle&& other) noexcept {
        if (this != &other) {
            close();
            id_ = std::exchange(other.id_, H5I_INVALID_HID);
        }
        return *this;
    }
    ~Hdf5Handle() { close(); }

    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }

    // False when closing failed: for a dataset or a file, its last bytes did not reach the file.
    bool close() { return id_ < 0 || Close(std::exchange(id_, H5I_INVALID_HID)) >= 0; }

    // Lets go of the identifier without closing it.
    void abandon() { id_ = H5I_INVALID_HID; }

private:
    hid_t id_ = H5I_INVALID_HID;
};

using FileHandle = Hdf5Handle<H5Fclose>;
using DatasetHandle = Hdf5Handle<H5Dclose>;
using SpaceHandle = Hdf5Handle<H5Sclose>;
using TypeHandle = Hdf5Handle<H5Tclose>;
using PropertiesHandle = Hdf5Handle<H5Pclose>;
using AttributeHandle = Hdf5Handle<H5Aclose>;
