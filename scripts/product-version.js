// Prints the version the Windows Installer reports for a product code, or
// "not installed". Used by scripts/demo.sh: cscript //nologo product-version.js {CODE}
var installer = new ActiveXObject("WindowsInstaller.Installer");
var code = WScript.Arguments.Item(0);
var version = "";
try {
    version = installer.ProductInfo(code, "VersionString");
} catch (e) {
    version = "";
}
WScript.Echo(version === "" ? "not installed" : version);
