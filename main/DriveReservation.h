// Keeps the current drive to this program for as long as it lives, and gives it back on
// every way out of the procedure.
#pragma once

#include "TAtapi.h"

class DriveReservation {
public:
    explicit DriveReservation(TAtapi& atapi) : atapi_(atapi), result_(atapi.Reserve()) {}
    ~DriveReservation() { atapi_.Release(); }
    DriveReservation(const DriveReservation&) = delete;
    DriveReservation& operator=(const DriveReservation&) = delete;

    const Reservation& Result() const { return result_; }
    // Gives the drive back before the procedure's last box, so that the box is the last word.
    void Release() { atapi_.Release(); }

private:
    TAtapi& atapi_;
    Reservation result_;
};
