#include "LineSettings_p.h"

namespace kq {

speed_t LineSpeed(int speed) {
    switch (speed) {
        case 600: return B600;
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        default: return B115200;
    }
}

void FillLineSettings(termios* tio, int speed, int bits, char parity, int stop, char flow) {
    tio->c_cflag |= CLOCAL | CREAD;

    const speed_t code = LineSpeed(speed);
    cfsetispeed(tio, code);
    cfsetospeed(tio, code);

    tio->c_cflag &= ~CSIZE;
    switch (bits) {
        case 5: tio->c_cflag |= CS5; break;
        case 6: tio->c_cflag |= CS6; break;
        case 7: tio->c_cflag |= CS7; break;
        default: tio->c_cflag |= CS8; break;
    }

    switch (parity) {
        case 'O':
        case 'o':
            tio->c_cflag |= PARENB | PARODD;
            tio->c_iflag |= INPCK;
            break;
        case 'E':
        case 'e':
            tio->c_cflag |= PARENB;
            tio->c_cflag &= ~PARODD;
            tio->c_iflag |= INPCK;
            break;
        case 'S':
        case 's':
            tio->c_cflag &= ~(PARENB | CSTOPB);
            tio->c_iflag |= INPCK;
            break;
        default:
            tio->c_cflag &= ~PARENB;
            tio->c_iflag &= ~INPCK;
            break;
    }

    // After parity: the stop-bit value has the last word on CSTOPB, also for 'S'.
    if (stop == 2) {
        tio->c_cflag |= CSTOPB;
    } else {
        tio->c_cflag &= ~CSTOPB;
    }

    switch (flow) {
        case 'H':
        case 'h':
            tio->c_cflag |= CRTSCTS;
            tio->c_iflag &= ~(IXON | IXOFF | IXANY);
            break;
        case 'S':
        case 's':
            tio->c_cflag &= ~CRTSCTS;
            tio->c_iflag |= IXON | IXOFF | IXANY;
            break;
        default:
            // Raw: the read loop expects every byte as sent, at once.
            tio->c_cflag &= ~CRTSCTS;
            tio->c_iflag &= ~(IXON | IXOFF | IXANY);
            tio->c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
            tio->c_iflag &= ~(INLCR | IGNCR | ICRNL);
            tio->c_oflag &= ~(ONLCR | OCRNL);
            break;
    }

    tio->c_oflag &= ~OPOST;
    // A read returns what is there, or nothing after 0.2 s of silence.
    tio->c_cc[VTIME] = 2;
    tio->c_cc[VMIN] = 0;
}

}  // namespace kq
