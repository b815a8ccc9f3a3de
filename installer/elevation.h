#pragma once
// Operating-system generation, Administrators membership, and the elevated relaunch.

int is_vista_or_later();
int is_user_admin();
int relaunch_elevated();
