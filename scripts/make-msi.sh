#!/usr/bin/env bash
# Makes a small installer package for tests and samples with msibuild (msitools).
#
#   scripts/make-msi.sh OUT.msi [options]
#
#   --name NAME            ProductName (default Tessaro)
#   --code {GUID}          ProductCode (default: a new one)
#   --version A.B.C.D      ProductVersion (default 1.0.0.0)
#   --upgrade-code {GUID}  UpgradeCode property (default: none)
#   --package-code {GUID}  summary package code (default: a new one)
#   --component-code {GUID} the component's GUID (default: a new one)
#   --key KEY              registry key under HKLM (default Software\NAME)
#   --value-name NAME      registry value name (default Version)
#   --value DATA           registry value data (default: the version)
#   --property NAME=VALUE  one more Property row (repeatable)
#   --fail                 add a type-19 custom action: the install fails with 1603
#   --reboot               schedule a restart on install: the installer answers 3010
#   --x64                  x64 package with a 64-bit component (no Wow6432Node)
#   --per-user             leave ALLUSERS unset (default ALLUSERS=1)
#   --replaces             a major upgrade: removes the installed products of its
#                          upgrade code up to its own version (needs --upgrade-code)
#   --cabinet NAME=FILE[,FILE...]  files the package installs into the folder NAME
#                          of the product under Program Files, from a cabinet
#                          (gcab) named NAME: beside OUT, or a stream of the
#                          package for "#NAME" (repeatable; each cabinet a disk
#                          of its own). A file's base name is its key and name.
#   --store-cabinets       cabinets without compression (large random files)
#   --file NAME            also install a file NAME (holding the product name and
#                          version) into [ProgramFilesFolder]\NAME-OF-PRODUCT, from a
#                          cabinet in the package (needs gcab)
#
# The package writes one registry value through one component and one feature;
# RemoveRegistryValues undoes it on removal. It prints nothing on success.
set -euo pipefail

die() { echo "make-msi: $*" >&2; exit 2; }
new_guid() { local g; g=$(cat /proc/sys/kernel/random/uuid); echo "{${g^^}}"; }
# The database's SQL has no escape for a quote inside a text, so none is accepted.
sql_text() { [[ "$1" != *"'"* ]] || die "a text may not hold a single quote: $1"; printf '%s' "$1"; }

[ $# -ge 1 ] || die "usage: make-msi.sh OUT.msi [options]"
out=$1; shift
name=Tessaro code= version=1.0.0.0 upgrade_code= package_code= component_code= key= value_name=Version
value= fail=0 reboot=0 x64=0 per_user=0 replaces=0 file= compress=-z
extra_properties=() cabinets=()
while [ $# -gt 0 ]; do
    opt=$1
    case "$opt" in
        --fail) fail=1; shift; continue ;;
        --reboot) reboot=1; shift; continue ;;
        --x64) x64=1; shift; continue ;;
        --per-user) per_user=1; shift; continue ;;
        --replaces) replaces=1; shift; continue ;;
        --store-cabinets) compress=; shift; continue ;;
    esac
    [ $# -ge 2 ] || die "$opt needs a value"
    case "$opt" in
        --name) name=$2 ;;
        --code) code=$2 ;;
        --version) version=$2 ;;
        --upgrade-code) upgrade_code=$2 ;;
        --package-code) package_code=$2 ;;
        --component-code) component_code=$2 ;;
        --key) key=$2 ;;
        --value-name) value_name=$2 ;;
        --value) value=$2 ;;
        --property) [[ "$2" == *=* ]] || die "--property wants NAME=VALUE"; extra_properties+=("$2") ;;
        --cabinet) [[ "$2" == *=* ]] || die "--cabinet wants NAME=FILE[,FILE...]"; cabinets+=("$2") ;;
        --file) [[ "$2" =~ ^[A-Za-z0-9_.-]+$ ]] || die "bad file name: $2"; file=$2 ;;
        *) die "unknown option $opt" ;;
    esac
    shift 2
done
guid_re='^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$'
code=${code:-$(new_guid)}; code=${code^^}
package_code=${package_code:-$(new_guid)}; package_code=${package_code^^}
component_code=${component_code:-$(new_guid)}; component_code=${component_code^^}
upgrade_code=${upgrade_code^^}
for g in "$code" "$package_code" "$component_code" ${upgrade_code:+"$upgrade_code"}; do
    [[ "$g" =~ $guid_re ]] || die "not a braced GUID: $g"
done
[[ "$version" =~ ^[0-9]+(\.[0-9]+){0,3}$ ]] || die "bad version: $version"
[ $replaces -eq 0 ] || [ -n "$upgrade_code" ] || die "--replaces needs --upgrade-code"
[ -z "$file" ] || [ ${#cabinets[@]} -eq 0 ] || die "--file and --cabinet exclude each other"
key=${key:-"Software\\$name"}
value=${value:-$version}

if [ $x64 -eq 1 ]; then platform="x64;1033"; component_attributes=260; else platform="Intel;1033"; component_attributes=4; fi

properties=("ProductCode=$code" "ProductVersion=$version" "ProductName=$name"
            "ProductLanguage=1033" "Manufacturer=Tessaro Test")
[ -n "$upgrade_code" ] && properties+=("UpgradeCode=$upgrade_code")
[ $per_user -eq 0 ] && properties+=("ALLUSERS=1")
properties+=("${extra_properties[@]+"${extra_properties[@]}"}")

sequence=("CostInitialize:800" "FileCost:900" "CostFinalize:1000" "InstallValidate:1400"
          "InstallInitialize:1500" "ProcessComponents:1600" "RemoveRegistryValues:2600"
          "WriteRegistryValues:5000" "RegisterProduct:6100" "PublishFeatures:6300"
          "PublishProduct:6400" "InstallFinalize:6600")
[ $fail -eq 1 ] && sequence+=("FailOnPurpose:5500")
[ $reboot -eq 1 ] && sequence+=("ScheduleReboot:6500:NOT REMOVE")
[ ${#cabinets[@]} -gt 0 ] && sequence+=("RemoveFiles:3500" "InstallFiles:4000")
[ -z "$file" ] || sequence+=("RemoveFiles:3500" "InstallFiles:4000")
if [ $replaces -eq 1 ]; then
    properties+=("SecureCustomProperties=OLDFOUND")
    sequence+=("FindRelatedProducts:200" "RemoveExistingProducts:1401")
fi

q="CREATE TABLE \`Property\` (\`Property\` CHAR(72) NOT NULL, \`Value\` LONGCHAR NOT NULL LOCALIZABLE PRIMARY KEY \`Property\`)"
for p in "${properties[@]}"; do
    q+=";INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('$(sql_text "${p%%=*}")', '$(sql_text "${p#*=}")')"
done
q+=";CREATE TABLE \`Directory\` (\`Directory\` CHAR(72) NOT NULL, \`Directory_Parent\` CHAR(72), \`DefaultDir\` CHAR(255) NOT NULL LOCALIZABLE PRIMARY KEY \`Directory\`)"
q+=";INSERT INTO \`Directory\` (\`Directory\`, \`Directory_Parent\`, \`DefaultDir\`) VALUES ('TARGETDIR', '', 'SourceDir')"
q+=";CREATE TABLE \`Component\` (\`Component\` CHAR(72) NOT NULL, \`ComponentId\` CHAR(38), \`Directory_\` CHAR(72) NOT NULL, \`Attributes\` SHORT NOT NULL, \`Condition\` CHAR(255), \`KeyPath\` CHAR(72) PRIMARY KEY \`Component\`)"
q+=";INSERT INTO \`Component\` (\`Component\`, \`ComponentId\`, \`Directory_\`, \`Attributes\`, \`Condition\`, \`KeyPath\`) VALUES ('Main', '$component_code', 'TARGETDIR', $component_attributes, '', 'MainValue')"
q+=";CREATE TABLE \`Registry\` (\`Registry\` CHAR(72) NOT NULL, \`Root\` SHORT NOT NULL, \`Key\` CHAR(255) NOT NULL LOCALIZABLE, \`Name\` CHAR(255) LOCALIZABLE, \`Value\` LONGCHAR LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Registry\`)"
q+=";INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('MainValue', 2, '$(sql_text "$key")', '$(sql_text "$value_name")', '$(sql_text "$value")', 'Main')"
q+=";CREATE TABLE \`Feature\` (\`Feature\` CHAR(38) NOT NULL, \`Feature_Parent\` CHAR(38), \`Title\` CHAR(64) LOCALIZABLE, \`Description\` CHAR(255) LOCALIZABLE, \`Display\` SHORT, \`Level\` SHORT NOT NULL, \`Directory_\` CHAR(72), \`Attributes\` SHORT NOT NULL PRIMARY KEY \`Feature\`)"
q+=";INSERT INTO \`Feature\` (\`Feature\`, \`Feature_Parent\`, \`Title\`, \`Description\`, \`Display\`, \`Level\`, \`Directory_\`, \`Attributes\`) VALUES ('Complete', '', 'Complete', '', 1, 1, 'TARGETDIR', 0)"
q+=";CREATE TABLE \`FeatureComponents\` (\`Feature_\` CHAR(38) NOT NULL, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Feature_\`, \`Component_\`)"
q+=";INSERT INTO \`FeatureComponents\` (\`Feature_\`, \`Component_\`) VALUES ('Complete', 'Main')"
q+=";CREATE TABLE \`InstallExecuteSequence\` (\`Action\` CHAR(72) NOT NULL, \`Condition\` CHAR(255), \`Sequence\` SHORT PRIMARY KEY \`Action\`)"
# Action:Sequence or Action:Sequence:Condition
for s in "${sequence[@]}"; do
    IFS=: read -r action number condition <<<"$s"
    q+=";INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('$action', '$condition', $number)"
done
if [ $fail -eq 1 ]; then
    q+=";CREATE TABLE \`CustomAction\` (\`Action\` CHAR(72) NOT NULL, \`Type\` SHORT NOT NULL, \`Source\` CHAR(72), \`Target\` CHAR(255) PRIMARY KEY \`Action\`)"
    q+=";INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('FailOnPurpose', 19, '', 'This package fails on purpose.')"
fi

# Files from cabinets: into ProgramFilesFolder\NAME, one component per file
# (its key path), compressed (16384) so that the installer reads the cabinet.
if [ ${#cabinets[@]} -gt 0 ]; then
    q+=";INSERT INTO \`Directory\` (\`Directory\`, \`Directory_Parent\`, \`DefaultDir\`) VALUES ('ProgramFilesFolder', 'TARGETDIR', '.')"
    q+=";INSERT INTO \`Directory\` (\`Directory\`, \`Directory_Parent\`, \`DefaultDir\`) VALUES ('INSTALLDIR', 'ProgramFilesFolder', '$(sql_text "$name")')"
    q+=";CREATE TABLE \`File\` (\`File\` CHAR(72) NOT NULL, \`Component_\` CHAR(72) NOT NULL, \`FileName\` CHAR(255) NOT NULL LOCALIZABLE, \`FileSize\` LONG NOT NULL, \`Version\` CHAR(72), \`Language\` CHAR(20), \`Attributes\` SHORT, \`Sequence\` LONG NOT NULL PRIMARY KEY \`File\`)"
    q+=";CREATE TABLE \`Media\` (\`DiskId\` SHORT NOT NULL, \`LastSequence\` LONG NOT NULL, \`DiskPrompt\` CHAR(64) LOCALIZABLE, \`Cabinet\` CHAR(255), \`VolumeLabel\` CHAR(32), \`Source\` CHAR(72) PRIMARY KEY \`DiskId\`)"
    files_sequence=0 disk=0
    for cabinet in "${cabinets[@]}"; do
        cab_name=${cabinet%%=*} disk=$((disk + 1))
        IFS=, read -r -a cab_files <<<"${cabinet#*=}"
        for cab_file in "${cab_files[@]}"; do
            [ -f "$cab_file" ] || die "no such file: $cab_file"
            key=$(basename "$cab_file") files_sequence=$((files_sequence + 1))
            q+=";INSERT INTO \`Component\` (\`Component\`, \`ComponentId\`, \`Directory_\`, \`Attributes\`, \`Condition\`, \`KeyPath\`) VALUES ('$(sql_text "$key")', '$(new_guid)', 'INSTALLDIR', $((component_attributes & ~4)), '', '$(sql_text "$key")')"
            q+=";INSERT INTO \`FeatureComponents\` (\`Feature_\`, \`Component_\`) VALUES ('Complete', '$(sql_text "$key")')"
            q+=";INSERT INTO \`File\` (\`File\`, \`Component_\`, \`FileName\`, \`FileSize\`, \`Version\`, \`Language\`, \`Attributes\`, \`Sequence\`) VALUES ('$(sql_text "$key")', '$(sql_text "$key")', '$(sql_text "$key")', $(stat -c %s "$cab_file"), '', '', 16384, $files_sequence)"
        done
        q+=";INSERT INTO \`Media\` (\`DiskId\`, \`LastSequence\`, \`DiskPrompt\`, \`Cabinet\`, \`VolumeLabel\`, \`Source\`) VALUES ($disk, $files_sequence, '', '$(sql_text "$cab_name")', '', '')"
    done
fi

if [ $replaces -eq 1 ]; then
    q+=";CREATE TABLE \`Upgrade\` (\`UpgradeCode\` CHAR(38) NOT NULL, \`VersionMin\` CHAR(20), \`VersionMax\` CHAR(20), \`Language\` CHAR(255), \`Attributes\` LONG NOT NULL, \`Remove\` CHAR(255), \`ActionProperty\` CHAR(72) NOT NULL PRIMARY KEY \`UpgradeCode\`, \`VersionMin\`, \`VersionMax\`, \`Language\`, \`Attributes\`)"
    q+=";INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMin\`, \`VersionMax\`, \`Language\`, \`Attributes\`, \`Remove\`, \`ActionProperty\`) VALUES ('$upgrade_code', '0.0.0.0', '$version', '', 256, '', 'OLDFOUND')"
fi

# The file: a compressed cabinet in the package (the names in the cabinet are
# the File table's keys), in a folder of the product's own under Program Files.
if [ -n "$file" ]; then
    q+=";INSERT INTO \`Directory\` (\`Directory\`, \`Directory_Parent\`, \`DefaultDir\`) VALUES ('ProgramFilesFolder', 'TARGETDIR', '.')"
    q+=";INSERT INTO \`Directory\` (\`Directory\`, \`Directory_Parent\`, \`DefaultDir\`) VALUES ('INSTALLDIR', 'ProgramFilesFolder', '$(sql_text "$name")')"
    q+=";INSERT INTO \`Component\` (\`Component\`, \`ComponentId\`, \`Directory_\`, \`Attributes\`, \`Condition\`, \`KeyPath\`) VALUES ('Files', '$(new_guid)', 'INSTALLDIR', 0, '', 'TheFile')"
    q+=";INSERT INTO \`FeatureComponents\` (\`Feature_\`, \`Component_\`) VALUES ('Complete', 'Files')"
    q+=";CREATE TABLE \`File\` (\`File\` CHAR(72) NOT NULL, \`Component_\` CHAR(72) NOT NULL, \`FileName\` CHAR(255) NOT NULL LOCALIZABLE, \`FileSize\` LONG NOT NULL, \`Version\` CHAR(72), \`Language\` CHAR(20), \`Attributes\` SHORT, \`Sequence\` SHORT NOT NULL PRIMARY KEY \`File\`)"
    q+=";CREATE TABLE \`Media\` (\`DiskId\` SHORT NOT NULL, \`LastSequence\` SHORT NOT NULL, \`DiskPrompt\` CHAR(64) LOCALIZABLE, \`Cabinet\` CHAR(255), \`VolumeLabel\` CHAR(32), \`Source\` CHAR(72) PRIMARY KEY \`DiskId\`)"
    q+=";INSERT INTO \`Media\` (\`DiskId\`, \`LastSequence\`, \`DiskPrompt\`, \`Cabinet\`, \`VolumeLabel\`, \`Source\`) VALUES (1, 1, '', '#files.cab', '', '')"
fi

# Build in a scratch folder beside the target and move into place, so a failure
# leaves no half-made package (msibuild also leaves its own scratch files there).
mkdir -p "$(dirname "$out")"
scratch=$(mktemp -d "$(dirname "$out")/.make-msi.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
msibuild "$scratch/package.msi" -s "$name" "Tessaro Test" "$platform" "$package_code" >/dev/null
msibuild "$scratch/package.msi" -q "$q" >/dev/null
# Each cabinet holds its files under their keys; an external one is moved
# beside the package with it.
external=()
for cabinet in "${cabinets[@]+"${cabinets[@]}"}"; do
    cab_name=${cabinet%%=*}
    IFS=, read -r -a cab_files <<<"${cabinet#*=}"
    mkdir -p "$scratch/files"
    rm -f "$scratch/files"/*
    for cab_file in "${cab_files[@]}"; do ln -s "$(realpath "$cab_file")" "$scratch/files/$(basename "$cab_file")"; done
    (cd "$scratch/files" && gcab -c $compress "$scratch/${cab_name#\#}" * >/dev/null)
    if [[ "$cab_name" == \#* ]]; then
        msibuild "$scratch/package.msi" -a "${cab_name#\#}" "$scratch/${cab_name#\#}" >/dev/null
    else
        external+=("$cab_name")
    fi
done
for cab_name in "${external[@]+"${external[@]}"}"; do mv -f "$scratch/$cab_name" "$(dirname "$out")/$cab_name"; done
if [ -n "$file" ]; then
    printf '%s %s\n' "$name" "$version" >"$scratch/TheFile"
    size=$(stat -c %s "$scratch/TheFile")
    msibuild "$scratch/package.msi" -q "INSERT INTO \`File\` (\`File\`, \`Component_\`, \`FileName\`, \`FileSize\`, \`Version\`, \`Language\`, \`Attributes\`, \`Sequence\`) VALUES ('TheFile', 'Files', '$file', $size, '', '', 16384, 1)" >/dev/null
    (cd "$scratch" && gcab -c -z files.cab TheFile)
    msibuild "$scratch/package.msi" -a files.cab "$scratch/files.cab" >/dev/null
fi
mv -f "$scratch/package.msi" "$out"
