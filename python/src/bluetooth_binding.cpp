// vostrel.bricks(): the Bluetooth devices BlueZ knows, each with the text
// that names it in a control's ports= mapping.
#include <pybind11/stl.h>

#include "bindings.hpp"
#include "vostrel/platform.hpp"

namespace vostrel::python {

namespace {

struct PyBluetoothDevice {
    platform::BluetoothDevice device;
    std::string port;
};

}  // namespace

}  // namespace vostrel::python

VOSTREL_PYTHON_MADE_ONLY(vostrel::python::PyBluetoothDevice);

namespace vostrel::python {

void BindBluetooth(py::module_& m) {
    BindClass<PyBluetoothDevice>(m, "BluetoothDevice",
                                 "A Bluetooth device BlueZ knows (see vostrel.bricks()).")
        .def_property_readonly("name", [](const PyBluetoothDevice& d) { return d.device.name; })
        .def_property_readonly("address",
                               [](const PyBluetoothDevice& d) { return d.device.address; })
        .def_property_readonly("adapter",
                               [](const PyBluetoothDevice& d) { return d.device.adapter; })
        .def_property_readonly("paired", [](const PyBluetoothDevice& d) { return d.device.paired; })
        .def_property_readonly("connected",
                               [](const PyBluetoothDevice& d) { return d.device.connected; })
        .def_property_readonly(
            "port", [](const PyBluetoothDevice& d) { return d.port; },
            "The text that opens it as a port: ports={0: device.port}")
        .def("__repr__", [](const PyBluetoothDevice& d) {
            return "<BluetoothDevice " + d.device.address + " '" + d.device.name + "'" +
                   (d.device.paired ? " paired" : " not paired") +
                   (d.device.connected ? " connected>" : ">");
        });
    m.def(
        "bricks",
        [] {
            platform::BluetoothListing listing;
            {
                py::gil_scoped_release nogil;  // BlueZ may take up to its timeout
                listing = platform::ListBluetoothDevices();
            }
            if (!listing.unavailable.empty()) throw Error(err::kDeviceIo, listing.unavailable);
            std::vector<PyBluetoothDevice> out;
            for (const auto& d : listing.devices)
                out.push_back({d, platform::PortArgument(d, listing)});
            return out;
        },
        "The Bluetooth devices BlueZ knows, paired or not, by name. Raises vostrel.Error "
        "saying why when BlueZ cannot be asked.");
}

}  // namespace vostrel::python
