// The standard descriptors the tool found closed and opened on the null
// device, so that no later descriptor takes their numbers.
#pragma once

namespace posix_layer {

class standard_descriptors {
public:
    // Opens the null device on each of descriptors 0, 1 and 2 that is closed.
    void open_missing();
    // Closes again, in the command's process, the ones opened, so that the
    // command starts with what the tool was given.
    void close_opened() const;
    // Whether descriptor fd (0, 1 or 2) was found closed.
    bool was_closed(int fd) const { return opened_[fd]; }

private:
    bool opened_[3] = {};
};

// The run's one record of them, apart from every other object of a layer,
// since those open descriptors: the closed standard descriptors are taken
// before anything else is opened.
standard_descriptors &the_standard_descriptors();

} // namespace posix_layer
