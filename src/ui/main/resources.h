#pragma once
// The program's compiled-in resources (icons, the forms' design data) live in a static library, so they
// are registered explicitly before the first window needs them. Safe to call more than once.
namespace corvane::ui {
void InitResources();
}
