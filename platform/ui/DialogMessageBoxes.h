#pragma once
// Shows message boxes as real dialogs: installed only where there is a screen to show them on
// (without it, boxes print to standard error and return as if OK was pressed).

void InstallDialogMessageBoxes();
