#pragma once

// The windowed-mode setting as the check state of windowedCheck. The button is owner-drawn, and owner-drawn
// buttons keep no check state of their own (BM_SETCHECK is ignored for them), so the state is kept with the
// control in its user data: it still lives exactly as long as the control.
bool IsWindowedChecked();
void SetWindowedChecked(bool checked);
