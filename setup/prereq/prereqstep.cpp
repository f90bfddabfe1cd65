// A prerequisite program's part in the chain.
#include "prereqstep.h"

#include "detect.h"
#include "fileutil.h"
#include "installer.h"
#include "program.h"
#include "result.h"
#include "results.h"
#include "runlog.h"

namespace {

// Its uninstall arguments for a removal, its repair arguments for a repair;
// in a run with the full interface the arguments for it when the vendor gave
// them, else its arguments.
TextSpan ProgramArguments(const PrereqParameters* parameters, InstallAction action, DWORD uiLevel)
{
    if (InstallAction::Uninstall == action || InstallAction::Repair == action) {
        return InstallAction::Uninstall == action ? parameters->uninstallArgs : parameters->repairArgs;
    }
    return UI_LEVEL_FULL == uiLevel && nullptr != parameters->uiArgs.text ? parameters->uiArgs : parameters->args;
}

// After a run of the program that did not fail. One that can be removed again
// stays held until the run ends, for the clean-up; a cached one stays in the
// cache for good, unless the clean-up removes it again.
void SettleProgram(RunFolders* folders, EntryFiles* files, ProgramState* program, InstallAction action, HRESULT ran,
                   HANDLE* held, DWORD* isInstalled)
{
    const BOOL installed = ran != INSTALLER_FAILURE_TOLERATED && InstallAction::Install == action;

    *isInstalled = installed && nullptr != program->parameters.uninstallArgs.text;
    if (*isInstalled) {
        program->held = *held;
        *held = INVALID_HANDLE_VALUE;
    }
    FileutilRelease(held);
    if (InstallAction::Uninstall == action) {
        files->ownsFiles = 1;   // what the copy was kept for is gone
    } else if (installed && !PlacementIsStaged(files)) {
        files->ownsFiles = *isInstalled;
    }
    if (!*isInstalled) {
        PlacementDeleteOwnedFiles(folders, files);
        PlacementReleaseEntry(files);
    }
}

// Runs the program (`run`, given the folder's path) with a temporary folder
// of its own, which goes with all the program left in it once it has ended.
template <typename Run>
HRESULT RunWithOwnTemp(RunFolders* folders, const EntryFiles* files, Run run)
{
    HRESULT hr = S_OK;
    HeldFolder temp = NoHeldFolder();

    EXIT_IF_FAILED(PlacementOpenProgramTemp(folders, files, &temp));
    hr = run(temp.path);

Exit:
    if (!FileutilRemoveTree(&temp)) {
        RunLogLine("  its temporary folder %ls could not be removed", temp.path);
    }
    return hr;
}

} // namespace

HRESULT PrereqChooseAction(InstallAction requested, const ManifestPackageEntry* entry, PrereqParameters* parameters,
                           InstallAction* action)
{
    HRESULT hr = S_OK;
    BOOL present = FALSE;
    const BOOL removal = InstallAction::Uninstall == requested;
    const BOOL repair = InstallAction::Repair == requested;

    *action = InstallAction::Skip;
    EXIT_IF_FAILED(PrereqLocateParameters(entry->resourceName, parameters));
    if (removal && nullptr == parameters->uninstallArgs.text) {
        RunLogLine("  action: keep: a permanent prerequisite (no uninstall arguments)");
        goto Exit;
    }
    if (repair && nullptr == parameters->repairArgs.text) {
        RunLogLine("  action: skip: no repair arguments");
        goto Exit;
    }
    EXIT_IF_FAILED(DetectPrerequisite(parameters, EntryProductContext(entry), &present));
    if (removal || repair) {
        *action = !present ? InstallAction::Skip : removal ? InstallAction::Uninstall : InstallAction::Repair;
        RunLogLine(!present ? "  action: skip: not present" : removal ? "  action: remove" : "  action: repair");
    } else {
        *action = present ? InstallAction::Skip : InstallAction::Install;
        RunLogLine(present ? "  action: skip: present" : "  action: run");
    }

Exit:
    return hr;
}


HRESULT PrereqRun(RunFolders* folders, EntryFiles* files, ProgramState* program, InstallAction action, DWORD uiLevel,
                  DWORD* isInstalled)
{
    HRESULT hr = S_OK;
    HANDLE held = INVALID_HANDLE_VALUE;
    const BOOL reuse = InstallAction::Uninstall == action || InstallAction::Repair == action;

    EXIT_IF_FAILED(PlacementPlaceProgram(folders, files, reuse, &held));
    hr = RunWithOwnTemp(folders, files, [&](LPCWSTR temp) {
        return RunPrerequisite(files->packagePath, ProgramArguments(&program->parameters, action, uiLevel),
                               &program->parameters, temp, files->entry->flags & PKG_IGNORE_FAILURE);
    });
    if (FAILED(hr) && !IsRestartRequired(hr)) {
        goto Exit;  // the files stay for the clean-up
    }
    SettleProgram(folders, files, program, action, hr, &held, isInstalled);

Exit:
    FileutilRelease(&held);
    return hr;
}

void PrereqRemoveAgain(RunFolders* folders, EntryFiles* files, ProgramState* program)
{
    DWORD exitCode = 0;
    const PrereqParameters* parameters = &program->parameters;

    RunLogLine("removing %ls", files->entry->fileName);
    HRESULT hr = RunWithOwnTemp(folders, files, [&](LPCWSTR temp) {
        return RunProgram(files->packagePath, parameters->uninstallArgs, parameters, temp, &exitCode);
    });
    FileutilRelease(&program->held);
    if (SUCCEEDED(hr)) {
        hr = ProgramExitResult(parameters, exitCode, FALSE);
        RunLogLine("  removal exit code %lu, taken as %d", exitCode, ExitCodeFromResult(hr));
    }
    files->ownsFiles = SUCCEEDED(hr) || IsRestartRunResult(hr) || PlacementIsStaged(files);
}
