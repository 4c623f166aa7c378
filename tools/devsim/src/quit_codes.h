// The codes that the quit message "ORVIK.Quit" carries in its wParam between the co-installer and
// the monitor applications.
#ifndef DEVSIM_QUIT_CODES_H
#define DEVSIM_QUIT_CODES_H

namespace devsim {

constexpr const char *kQuitMessageName = "ORVIK.Quit";
constexpr unsigned kQuitQuery = 0;
constexpr unsigned kQuitPresent = 1;
constexpr unsigned kQuitOrder = 2;
constexpr unsigned kQuitDone = 3;
constexpr unsigned kQuitRefused = 5;

}  // namespace devsim

#endif  // DEVSIM_QUIT_CODES_H
